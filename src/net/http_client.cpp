#include "net/http_client.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>

#include "net/clock.h"
#include "net/http_reply.h"

namespace zefo {

namespace {

// The room a request has beside the host.
constexpr size_t kRequestRoom = 2048;
// The largest read.
constexpr size_t kReadBlock = 64 * 1024;
// Status line and headers beyond this are refused.
constexpr size_t kHeadLimit = 64 * 1024;
// The longest wait for the next bytes, and the time the whole head may take: a server
// sends its head at once.
constexpr int64_t kReadMs = 10'000;
// A body that brings fewer bytes than this in kReadMs has stalled: a server dripping a
// byte now and then would otherwise hold the download for ever.
constexpr int64_t kStalledBytes = 1024;
// A body without length or chunking ends at the first silent second.
constexpr int64_t kOpenEndMs = 1000;
// A body without a length of its own (chunked or running to the close) may not pass this.
constexpr int64_t kOpenEndLimit = 1'000'000'000;
// The TLS handshake's limit.
constexpr uint32_t kHandshakeMs = 10000;
// An error reply's body up to this size is read past, so that its connection serves the next file.
constexpr int64_t kSkippedBodyLimit = 64 * 1024;

constexpr int kReadTimedOut = -3;

// Measures elapsed wall-clock time; a clock that is set back does not stretch a wait.
class WallTimer {
  public:
    WallTimer() : last_(WallClockMilliseconds()) {}
    int64_t Elapsed() {
        int64_t now = WallClockMilliseconds();
        if (now > last_)
            elapsed_ += now - last_;
        last_ = now;
        return elapsed_;
    }

  private:
    int64_t last_;
    int64_t elapsed_ = 0;
};

// Waits up to `limit` milliseconds for data and receives at most `capacity` bytes once:
// the count, 0 when the peer closed, -1 on error or a request to stop, kReadTimedOut.
int ReadWithin(Stream& stream, char* buffer, size_t capacity, int64_t limit, Observer* observer) {
    const int size = static_cast<int>(capacity);
    int received = stream.ReceiveWaiting(buffer, size);
    if (received != kReceiveNothing)
        return received;
    WallTimer timer;
    for (int64_t elapsed = 0; elapsed < limit; elapsed = timer.Elapsed()) {
        if (observer && observer->StopRequested())
            return -1;
        // Steps of at most a second, so that a changed clock and a request to stop are noticed.
        auto step = static_cast<uint32_t>(std::min<int64_t>(limit - elapsed, 1000));
        if (stream.WaitReadable(step)) {
            received = stream.ReceiveWaiting(buffer, size);
            if (received != kReceiveNothing)
                return received;
        }
    }
    return kReadTimedOut;
}

// Reads past the `length` bytes of a body whose first bytes came with the head; true
// when the connection then stands at the end of the reply.
bool SkipBody(Stream& stream, int64_t length, std::string_view first, Observer* observer) {
    if (static_cast<int64_t>(first.size()) > length)
        return false;
    int64_t left = length - static_cast<int64_t>(first.size());
    char buffer[4096];
    while (left > 0) {
        const int received =
            ReadWithin(stream, buffer, static_cast<size_t>(std::min<int64_t>(left, sizeof buffer)), kReadMs, observer);
        if (received <= 0)
            return false;
        left -= received;
    }
    return true;
}

enum class Body {
    Complete,  // every byte of the body arrived
    Cut,       // the connection failed or went silent before the end
    Refused,   // the file did not take the bytes, the bound was passed, or a stop was asked
    Broken,    // the server broke the coding
};

// Reads a body into a sink: its first bytes came with the head. The sink takes at most
// `room` bytes; `taken` hears of the count after each run of them.
class BodyReader {
  public:
    BodyReader(Stream& stream,
               ByteSink& sink,
               Observer* observer,
               RateLimiter* limiter,
               int64_t room,
               std::function<void(int64_t taken)> taken)
        : stream_(stream),
          sink_(sink),
          observer_(observer),
          limiter_(limiter),
          room_(room),
          onTaken_(std::move(taken)) {}

    // How the body ended; `reusable` says whether the connection is at a reply's end.
    Body Read(const ReplyHead& head, std::string_view first, bool& reusable) {
        reusable = false;
        if (head.contentLength != -1)
            return Sized(head.contentLength, first, reusable);
        if (head.chunked)
            return Chunked(first, reusable);
        return OpenEnded(first);
    }

    // The body bytes the sink took.
    int64_t taken() const { return taken_; }

  private:
    bool Take(const char* data, size_t length, bool bounded) {
        if (bounded && static_cast<int64_t>(length) > kOpenEndLimit - taken_)
            return false;
        // Bytes past the signed size are refused before they are counted or written.
        if (static_cast<int64_t>(length) > Room())
            return false;
        if (observer_) {
            if (observer_->StopRequested())
                return false;
            observer_->Received(static_cast<int64_t>(length));
        }
        taken_ += static_cast<int64_t>(length);
        if (!sink_.Append(data, length))
            return false;
        // The speed limit is paid for what arrived; a stop asked for while it waits ends the body.
        if (limiter_ && !limiter_->Pay(length, [this] { return observer_ && observer_->StopRequested(); }))
            return false;
        if (onTaken_)
            onTaken_(taken_);
        return true;
    }

    Body Sized(int64_t length, std::string_view first, bool& reusable) {
        const auto take = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(first.size())));
        if (!Take(first.data(), take, false))
            return Body::Refused;
        int64_t left = length - static_cast<int64_t>(take);
        while (left > 0) {
            const auto capacity =
                ReadSize(static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kReadBlock))));
            const int received = ReadWithin(stream_, buffer_.get(), capacity, kReadMs, observer_);
            // A body that ends before its length is incomplete.
            if (received <= 0)
                return observer_ && observer_->StopRequested() ? Body::Refused : Body::Cut;
            if (!Take(buffer_.get(), static_cast<size_t>(received), false))
                return Body::Refused;
            if (Stalled(received))
                return Body::Cut;
            left -= received;
        }
        // Bytes after the body would be the answer to nothing.
        reusable = first.size() <= static_cast<size_t>(length);
        return Body::Complete;
    }

    Body Chunked(std::string_view first, bool& reusable) {
        ChunkDecoder decoder;
        bool refused = false;
        auto body = [this, &refused](const char* data, size_t length) {
            refused = !Take(data, length, true);
            return !refused;
        };
        std::string_view data = first;
        for (;;) {
            if (!decoder.Feed(data, std::min(kOpenEndLimit - taken_, Room()), body))
                return Body::Refused;
            if (decoder.Broken())
                return Body::Broken;
            if (decoder.BodyDone()) {
                // The trailers' end is read when it came along; otherwise the
                // connection is not taken again.
                reusable = decoder.ReplyDone();
                return Body::Complete;
            }
            const int received = ReadWithin(stream_, buffer_.get(), ReadSize(kReadBlock), kReadMs, observer_);
            // A chunked body that ends without its zero-size chunk is incomplete.
            if (received <= 0)
                return observer_ && observer_->StopRequested() ? Body::Refused : Body::Cut;
            if (Stalled(received))
                return Body::Cut;
            data = std::string_view(buffer_.get(), static_cast<size_t>(received));
        }
    }

    Body OpenEnded(std::string_view first) {
        if (!Take(first.data(), first.size(), true))
            return Body::Refused;
        for (;;) {
            const int received = ReadWithin(stream_, buffer_.get(), ReadSize(kReadBlock), kOpenEndMs, observer_);
            if (received == 0 || received == kReadTimedOut)
                return Body::Complete;
            if (received < 0)
                return observer_ && observer_->StopRequested() ? Body::Refused : Body::Cut;
            // More than the bound cannot be stored whole; a cut file is no success.
            if (!Take(buffer_.get(), static_cast<size_t>(received), true))
                return Body::Refused;
            if (Stalled(received))
                return Body::Cut;
        }
    }

    // The bytes the sink may still take.
    int64_t Room() const { return room_ - taken_; }

    // One read asks for no more than the speed limit lets through in a short while.
    size_t ReadSize(size_t capacity) const { return limiter_ ? limiter_->ReadSize(capacity) : capacity; }

    // Counts `received` bytes into the current window of kReadMs; true when a window
    // ended with fewer than kStalledBytes. What arrived stays for a later resume.
    bool Stalled(int received) {
        windowBytes_ += received;
        const int64_t now = timer_.Elapsed();
        if (now - windowStart_ < kReadMs)
            return false;
        if (windowBytes_ < kStalledBytes)
            return true;
        windowStart_ = now;
        windowBytes_ = 0;
        return false;
    }

    Stream& stream_;
    ByteSink& sink_;
    Observer* observer_;
    RateLimiter* limiter_;
    const int64_t room_;
    const std::function<void(int64_t)> onTaken_;
    int64_t taken_ = 0;
    WallTimer timer_;
    int64_t windowStart_ = 0;
    int64_t windowBytes_ = 0;
    std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(kReadBlock);
};

}  // namespace

// One request on the client's connection and the head of its reply.
struct HttpClient::Exchange {
    ReplyHead head;
    std::string bytes;  // the head and the first body bytes that came with it
    bool keep = true;   // a failure leaves what the sink holds for a resume
    std::string_view first() const { return std::string_view(bytes).substr(head.bodyStart); }
};

HttpClient::HttpClient(bool keepAlive, NetworkOptions network) : keepAlive_(keepAlive), network_(std::move(network)) {}

const ProxyChoice& HttpClient::ProxyFor(const ServerAddress& address) {
    const std::string key = HostLine(address) + (address.tls ? "|tls" : "|");
    if (key != proxyKey_) {
        proxy_ = ChooseProxy(network_.proxy, address.tls, address.host, address.port);
        proxyKey_ = key;
    }
    return proxy_;
}

HttpClient::~HttpClient() = default;

void HttpClient::Close() {
    stream_.reset();
    endpoint_.clear();
    ahead_.clear();
    unsent_.clear();
    carry_.clear();
}

bool HttpClient::Download(const Location& location,
                          DownloadSink& sink,
                          Observer* observer,
                          const FileProgress& progress) {
    // A stale kept-open connection, a resumed file that turned out to be another
    // version, or a range the server cannot serve each cost one more attempt.
    bool retriedFresh = false, retriedWhole = false;
    Location current = location;
    int redirects = 0;
    for (;;) {
        switch (Fetch(current, sink, observer, progress)) {
            case Attempt::Done:
                return true;
            case Attempt::Failed:
                return false;
            case Attempt::Redirected:
                if (++redirects > kMaxRedirects) {
                    sink.Keep();
                    return false;
                }
                current = redirect_;
                retriedFresh = false;
                break;
            case Attempt::RetryFresh:
                if (retriedFresh)
                    return false;
                retriedFresh = true;
                break;
            case Attempt::RetryWhole:
                if (retriedWhole || !sink.StartOver())
                    return false;
                retriedWhole = true;
                // The connection the whole file now goes over may be a kept one again.
                retriedFresh = false;
                break;
        }
    }
}

HttpClient::RangeResult HttpClient::FetchRange(const Location& location,
                                               int64_t first,
                                               int64_t length,
                                               ByteSink& sink,
                                               Observer* observer,
                                               DownloadSink* whole,
                                               const FileProgress& progress) {
    if (first < 0 || length <= 0 || length > kMaxBodyLength || first > kMaxBodyLength - length)
        return RangeResult::Failed;
    RangeResult result = RangeResult::Failed;
    Location current = location;
    bool retriedFresh = false;
    for (int redirects = 0;;) {
        const Attempt attempt = FetchPart(current, first, length, sink, observer, whole, progress, result);
        // A stale kept-open connection costs one more attempt, as for a whole file.
        if (attempt == Attempt::RetryFresh && !retriedFresh) {
            retriedFresh = true;
        } else if (attempt == Attempt::Redirected && ++redirects <= kMaxRedirects) {
            current = redirect_;
            retriedFresh = false;
        } else {
            return attempt == Attempt::Redirected ? RangeResult::Failed : result;
        }
    }
}

bool HttpClient::RequestText(const Location& location, const std::string& range, std::string& request) {
    const ServerAddress& address = location.address;
    const ProxyChoice& proxy = ProxyFor(address);
    const std::string target = RequestTarget(address, proxy, "/" + location.target);
    request = "GET ";
    request.append(target).append(" HTTP/1.1\r\nAccept: */*\r\nHost: ").append(HostLine(address)).append("\r\n");
    // The request (without a range) and its terminating zero must fit the room beside
    // the host (and the absolute URL's own part through a proxy).
    if (request.size() + std::string_view("Connection: close\r\n\r\n").size() + 1 >
        address.host.size() + (target.size() - location.target.size() - 1) + kRequestRoom)
        return false;
    request.append(ProxyAuthorizationLine(address, proxy));
    if (!range.empty())
        request.append("Range: bytes=").append(range).append("\r\n");
    request.append(keepAlive_ ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
    return true;
}

bool HttpClient::SendAhead(const Location& location, int64_t first, int64_t length) {
    if (!keepAlive_ || !stream_ || aheadRefused_ || ahead_.size() >= kMaxAhead || first < 0 || length <= 0 ||
        length > kMaxBodyLength || first > kMaxBodyLength - length)
        return false;
    const ServerAddress& address = location.address;
    std::string request;
    if (HostLine(address) + (address.tls ? "|tls|" : "|") + location.pin != endpoint_ ||
        !RequestText(location, std::to_string(first) + "-" + std::to_string(first + length - 1), request))
        return false;
    // Written together when the first of them is asked for.
    unsent_.append(request);
    ahead_.push_back(std::move(request));
    return true;
}

HttpClient::Attempt HttpClient::Begin(const Location& location,
                                      const std::string& range,
                                      Observer* observer,
                                      Exchange& exchange) {
    const ServerAddress& address = location.address;
    std::string request;
    if (!RequestText(location, range, request)) {
        exchange.keep = false;
        return Attempt::Failed;
    }

    const std::string endpoint = HostLine(address) + (address.tls ? "|tls|" : "|") + location.pin;
    if (stream_ && endpoint != endpoint_)
        Close();
    // The request may have gone ahead already; anything else asked for while requests
    // wait for their replies goes over a fresh connection.
    const bool sentAhead = !ahead_.empty() && ahead_.front() == request;
    if (sentAhead)
        ahead_.pop_front();
    else if (!ahead_.empty())
        Close();
    const bool reused = stream_ != nullptr;
    if (!stream_) {
        std::string reason;
        StreamOptions options;
        if (observer)
            options.stopRequested = [observer] { return observer->StopRequested(); };
        options.proxy = ProxyFor(address);
        options.connectLimitMs = network_.connectLimitMs;
        stream_ = OpenStream(address, location.pin, kHandshakeMs, reason, options);
        if (!stream_)
            return Attempt::Failed;
        endpoint_ = endpoint;
        ++opened_;
    }
    const std::string& send = sentAhead ? unsent_ : request;
    if (!send.empty() && stream_->Send(send.data(), static_cast<int>(send.size())) < 0) {
        Close();
        return reused ? Attempt::RetryFresh : Attempt::Failed;
    }
    unsent_.clear();

    // Status line and headers, up to kHeadLimit bytes within kReadMs; they may have
    // come with the end of the reply before.
    std::string& head = exchange.bytes;
    head = std::move(carry_);
    carry_.clear();
    if (!head.empty()) {
        const HeadResult result = ParseReplyHead(head, false, exchange.head);
        if (result == HeadResult::Complete)
            return Attempt::Done;
        if (result == HeadResult::Refused || head.size() >= kHeadLimit) {
            Close();
            return Attempt::Failed;
        }
    }
    auto buffer = std::make_unique<char[]>(kReadBlock);
    WallTimer headTimer;
    for (;;) {
        const size_t capacity = std::min(kReadBlock, kHeadLimit - head.size());
        const int64_t headLeft = kReadMs - headTimer.Elapsed();
        const int received =
            headLeft > 0 ? ReadWithin(*stream_, buffer.get(), capacity, headLeft, observer) : kReadTimedOut;
        const bool stopped = observer && observer->StopRequested();
        if (received <= 0 && head.empty() && reused && received != kReadTimedOut && !stopped) {
            // The server had closed the connection it kept open: try once more anew.
            Close();
            return Attempt::RetryFresh;
        }
        if (received == kReadTimedOut && head.empty() && sentAhead && !stopped) {
            // A server that does not answer requests sent before its last reply ended:
            // asked anew, one request at a time.
            Close();
            aheadRefused_ = true;
            return Attempt::RetryFresh;
        }
        if (received < 0 || received == kReadTimedOut || (received == 0 && head.empty())) {
            Close();
            return Attempt::Failed;
        }
        head.append(buffer.get(), static_cast<size_t>(received));
        const HeadResult result = ParseReplyHead(head, received == 0, exchange.head);
        if (result == HeadResult::Complete)
            return Attempt::Done;
        if (result == HeadResult::Refused || received == 0 || head.size() >= kHeadLimit) {
            Close();
            return Attempt::Failed;
        }
    }
}

bool HttpClient::Redirect(const Location& location, const Exchange& exchange, Observer* observer, bool& failed) {
    const ReplyHead& head = exchange.head;
    const int status = head.status;
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return false;
    failed = !ResolveRedirect(location, head.location, redirect_);
    // The body of a redirect says nothing the client needs.
    if (!keepAlive_ || !head.keepsOpen || !ahead_.empty() || head.contentLength < 0 ||
        head.contentLength > kSkippedBodyLimit || !SkipBody(*stream_, head.contentLength, exchange.first(), observer))
        Close();
    return true;
}

HttpClient::Attempt HttpClient::Fetch(const Location& location,
                                      DownloadSink& sink,
                                      Observer* observer,
                                      const FileProgress& progress) {
    const int64_t from = sink.held();
    Exchange exchange;
    const Attempt begun = Begin(location, from > 0 ? std::to_string(from) + "-" : std::string(), observer, exchange);
    if (begun != Attempt::Done) {
        if (begun == Attempt::Failed && exchange.keep)
            sink.Keep();
        return begun;
    }
    const ReplyHead& parsed = exchange.head;
    bool redirectFailed = false;
    if (Redirect(location, exchange, observer, redirectFailed)) {
        if (!redirectFailed)
            return Attempt::Redirected;
        sink.Keep();
        return Attempt::Failed;
    }

    int64_t size = parsed.contentLength;
    if (parsed.status == 206) {
        // Only the rest that was asked for is taken; anything else starts over.
        if (from == 0 || !parsed.hasRange || parsed.rangeFirst != from ||
            (parsed.contentLength != -1 && parsed.contentLength != parsed.rangeLast - parsed.rangeFirst + 1)) {
            Close();
            return Attempt::RetryWhole;
        }
        size = parsed.rangeTotal != -1 ? parsed.rangeTotal : (size == -1 ? -1 : from + size);
    } else if (parsed.status == 416 && from > 0) {
        // What is kept is no start of the file the server has now.
        Close();
        return Attempt::RetryWhole;
    } else if (parsed.status != 200) {
        // A missing file is no reason to give up the connection.
        if (!keepAlive_ || !parsed.keepsOpen || parsed.contentLength < 0 || parsed.contentLength > kSkippedBodyLimit ||
            !SkipBody(*stream_, parsed.contentLength, exchange.first(), observer))
            Close();
        sink.Keep();
        return Attempt::Failed;
    }
    return Receive(exchange, sink, from, size, parsed.status == 200 && from > 0, observer, progress);
}

HttpClient::Attempt HttpClient::Receive(const Exchange& exchange,
                                        DownloadSink& sink,
                                        int64_t from,
                                        int64_t size,
                                        bool startOver,
                                        Observer* observer,
                                        const FileProgress& progress) {
    const ReplyHead& parsed = exchange.head;
    // A file announced larger than its limit, or larger than its sink has room for,
    // fails before any of it is written; what was kept stays.
    const int64_t limit = sink.limit();
    if ((limit >= 0 && size > limit) ||
        (limit < 0 && parsed.contentLength > 0 && !sink.HasRoomFor(parsed.contentLength))) {
        Close();
        sink.Keep();
        return Attempt::Failed;
    }
    if (startOver && !sink.StartOver()) {
        Close();
        return Attempt::Failed;
    }

    const int64_t start = sink.held();
    std::function<void(int64_t)> taken;
    if (progress)
        taken = [&progress, start, size](int64_t count) { progress(start + count, size); };
    BodyReader reader(*stream_, sink, observer, network_.limiter.get(), limit < 0 ? kMaxBodyLength : limit - start,
                      std::move(taken));
    bool reusable = false;
    const Body body = reader.Read(parsed, exchange.first(), reusable);
    if (body != Body::Complete || !keepAlive_ || !parsed.keepsOpen || !reusable || !ahead_.empty())
        Close();
    switch (body) {
        case Body::Complete:
            break;
        case Body::Cut:
            sink.Keep();
            return Attempt::Failed;
        case Body::Refused:
        case Body::Broken:
            sink.Discard();
            return Attempt::Failed;
    }
    if (sink.Commit())
        return Attempt::Done;
    // A resumed file that fails its checks had an older beginning: once more, whole.
    return from > 0 ? Attempt::RetryWhole : Attempt::Failed;
}

HttpClient::Attempt HttpClient::FetchPart(const Location& location,
                                          int64_t first,
                                          int64_t length,
                                          ByteSink& sink,
                                          Observer* observer,
                                          DownloadSink* whole,
                                          const FileProgress& progress,
                                          RangeResult& result) {
    result = RangeResult::Failed;
    const int64_t last = first + length - 1;
    Exchange exchange;
    const Attempt begun = Begin(location, std::to_string(first) + "-" + std::to_string(last), observer, exchange);
    if (begun != Attempt::Done)
        return begun;
    const ReplyHead& parsed = exchange.head;
    bool redirectFailed = false;
    if (Redirect(location, exchange, observer, redirectFailed))
        return redirectFailed ? Attempt::Failed : Attempt::Redirected;
    if (parsed.status == 200 && whole) {
        // The whole file is here: taken as its download rather than asked for again.
        const Attempt taken = Receive(exchange, *whole, 0, parsed.contentLength, true, observer, progress);
        if (taken == Attempt::Done)
            result = RangeResult::Whole;
        return taken == Attempt::Done ? Attempt::Done : Attempt::Failed;
    }
    if (parsed.status != 206) {
        if (parsed.status == 200)
            result = RangeResult::Ignored;
        // The body is not wanted; a short one is read past so that the connection serves the next request.
        if (!keepAlive_ || !parsed.keepsOpen || !ahead_.empty() || parsed.contentLength < 0 ||
            parsed.contentLength > kSkippedBodyLimit ||
            !SkipBody(*stream_, parsed.contentLength, exchange.first(), observer))
            Close();
        return Attempt::Failed;
    }
    // Exactly the bytes asked for, or nothing.
    if (!parsed.hasRange || parsed.rangeFirst != first || parsed.rangeLast != last ||
        (parsed.contentLength != -1 && parsed.contentLength != length)) {
        Close();
        return Attempt::Failed;
    }
    BodyReader reader(*stream_, sink, observer, network_.limiter.get(), length, {});
    bool reusable = false;
    const std::string_view firstBytes = exchange.first();
    const Body body = reader.Read(parsed, firstBytes, reusable);
    // Bytes past a body of known length are the start of the reply to the next request
    // sent ahead; with none, or past a body without a length, they answer nothing.
    const bool sized = parsed.contentLength != -1;
    const bool more = sized && firstBytes.size() > static_cast<size_t>(length);
    if (body != Body::Complete || !keepAlive_ || !parsed.keepsOpen || (more ? ahead_.empty() : !reusable) ||
        (!sized && !ahead_.empty()))
        Close();
    else if (more)
        carry_.assign(firstBytes.substr(static_cast<size_t>(length)));
    if (body != Body::Complete || reader.taken() != length)
        return Attempt::Failed;
    result = RangeResult::Done;
    return Attempt::Done;
}

}  // namespace zefo
