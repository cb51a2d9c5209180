#include "sync/http_client.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "base/ascii.h"
#include "net/clock.h"
#include "net/server_request.h"
#include "net/text_decode.h"
#include "sync/http_reply.h"

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
// A file of unknown size whose reply announces more than the free space of its disk,
// less a margin, is refused before it starts: it could not be stored, and what
// arrived of it would be kept for a resume. The margin is left for the system and the
// program: 64 MiB, or a sixteenth of the free space where that is less (below 1 GiB).
constexpr int64_t kFreeSpaceMargin = 64 << 20;
constexpr int64_t kFreeSpaceMarginShare = 16;
// The TLS handshake's limit.
constexpr uint32_t kHandshakeMs = 10000;
// An error reply's body up to this size is read past, so that its connection serves the next file.
constexpr int64_t kSkippedBodyLimit = 64 * 1024;

constexpr int kReadTimedOut = -3;

// Whether `bytes` more fit on the disk of `folder` with the margin to spare; true when
// the system does not say.
bool Fits(const SafeFolder& folder, int64_t bytes) {
    const int64_t free = folder.FreeBytes();
    return free < 0 || bytes <= free - std::min(kFreeSpaceMargin, free / kFreeSpaceMarginShare);
}

bool SplitUrl(std::string_view url, ServerAddress& address, std::string& target) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return false;
    address.tls = url.substr(0, scheme).size() == 5 && StartsWithNoCase(url.substr(0, scheme), "https");
    const size_t begin = scheme + 3;
    const size_t slash = url.find('/', begin);
    std::string_view authority = url.substr(begin, slash == std::string_view::npos ? url.npos : slash - begin);
    // User information is skipped and never sent; a host cannot hold "@".
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    SplitHostPort(authority, address.host, address.port);
    // SplitHostPort gives 80 when no port is written.
    if (address.tls && (authority.find(':') == std::string_view::npos || authority.back() == ':'))
        address.port = 443;
    if (address.host.empty())
        return false;
    target = slash == std::string_view::npos ? std::string() : std::string(url.substr(slash + 1));
    return true;
}

// Control bytes would end the request line or inject header lines.
bool HasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

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

// Reads a body into the incoming file: its first bytes came with the head.
class BodyReader {
  public:
    BodyReader(Stream& stream,
               IncomingFile& incoming,
               Observer* observer,
               const HttpClient::FileProgress& progress,
               int64_t size,
               int64_t signedSize)
        : stream_(stream),
          incoming_(incoming),
          observer_(observer),
          progress_(progress),
          size_(size),
          signedSize_(signedSize) {}

    // How the body ended; `reusable` says whether the connection is at a reply's end.
    Body Read(const ReplyHead& head, std::string_view first, bool& reusable) {
        reusable = false;
        if (head.contentLength != -1)
            return Sized(head.contentLength, first, reusable);
        if (head.chunked)
            return Chunked(first, reusable);
        return OpenEnded(first);
    }

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
        if (!incoming_.Append(data, length))
            return false;
        if (progress_)
            progress_(incoming_.size(), size_);
        return true;
    }

    Body Sized(int64_t length, std::string_view first, bool& reusable) {
        const auto take = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(first.size())));
        if (!Take(first.data(), take, false))
            return Body::Refused;
        int64_t left = length - static_cast<int64_t>(take);
        while (left > 0) {
            const auto capacity = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kReadBlock)));
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
            const int received = ReadWithin(stream_, buffer_.get(), kReadBlock, kReadMs, observer_);
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
            const int received = ReadWithin(stream_, buffer_.get(), kReadBlock, kOpenEndMs, observer_);
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

    // The bytes the file may still take: up to its signed size, if it has one.
    int64_t Room() const { return signedSize_ < 0 ? kMaxBodyLength : signedSize_ - incoming_.size(); }

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
    IncomingFile& incoming_;
    Observer* observer_;
    const HttpClient::FileProgress& progress_;
    const int64_t size_;
    const int64_t signedSize_;
    int64_t taken_ = 0;
    WallTimer timer_;
    int64_t windowStart_ = 0;
    int64_t windowBytes_ = 0;
    std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(kReadBlock);
};

}  // namespace

HttpClient::HttpClient(bool keepAlive) : keepAlive_(keepAlive) {}

HttpClient::~HttpClient() = default;

void HttpClient::Close() {
    stream_.reset();
    endpoint_.clear();
}

bool HttpClient::Download(const std::string& url, const SafeFolder& folder, const std::string& name,
                          const DownloadChecks& checks, Observer* observer, const FileProgress& progress) {
    std::string url8;
    if (!EncodeCodePage(url, url8))
        url8.clear();
    ServerAddress address;
    std::string target;
    if (!SplitUrl(url8, address, target) || HasControlBytes(address.host) || HasControlBytes(target))
        return false;

    IncomingFile incoming;
    if (incoming.Open(folder, name, checks) != IncomingFile::OpenResult::Ready)
        return false;
    // A stale kept-open connection, a resumed file that turned out to be another
    // version, or a range the server cannot serve each cost one more attempt.
    bool retriedFresh = false, retriedWhole = false;
    for (;;) {
        switch (Fetch(address, target, folder, incoming, checks, observer, progress)) {
            case Attempt::Done:
                return true;
            case Attempt::Failed:
                return false;
            case Attempt::RetryFresh:
                if (retriedFresh)
                    return false;
                retriedFresh = true;
                break;
            case Attempt::RetryWhole:
                if (retriedWhole || incoming.Open(folder, name, checks) != IncomingFile::OpenResult::Ready ||
                    !incoming.Restart())
                    return false;
                retriedWhole = true;
                // The connection the whole file now goes over may be a kept one again.
                retriedFresh = false;
                break;
        }
    }
}

HttpClient::Attempt HttpClient::Fetch(const ServerAddress& address,
                                      const std::string& target,
                                      const SafeFolder& folder,
                                      IncomingFile& incoming,
                                      const DownloadChecks& checks,
                                      Observer* observer,
                                      const FileProgress& progress) {
    const int64_t from = incoming.size();
    std::string request = "GET /";
    request.append(target).append(" HTTP/1.1\r\nAccept: */*\r\nHost: ").append(HostLine(address)).append("\r\n");
    // The request (without a range) and its terminating zero must fit the room beside the host.
    if (request.size() + std::string_view("Connection: close\r\n\r\n").size() + 1 > address.host.size() + kRequestRoom)
        return Attempt::Failed;
    if (from > 0)
        request.append("Range: bytes=").append(std::to_string(from)).append("-\r\n");
    request.append(keepAlive_ ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");

    const std::string endpoint = HostLine(address) + (address.tls ? "|tls|" : "|") + checks.pin;
    if (stream_ && endpoint != endpoint_)
        Close();
    const bool reused = stream_ != nullptr;
    if (!stream_) {
        std::string reason;
        stream_ = OpenStream(address, checks.pin, kHandshakeMs, reason);
        if (!stream_) {
            incoming.Keep();
            return Attempt::Failed;
        }
        endpoint_ = endpoint;
        ++opened_;
    }
    if (stream_->Send(request.data(), static_cast<int>(request.size())) < 0) {
        Close();
        if (reused)
            return Attempt::RetryFresh;
        incoming.Keep();
        return Attempt::Failed;
    }

    // Status line and headers, up to kHeadLimit bytes within kReadMs.
    std::string head;
    ReplyHead parsed;
    auto buffer = std::make_unique<char[]>(kReadBlock);
    WallTimer headTimer;
    for (;;) {
        const size_t capacity = std::min(kReadBlock, kHeadLimit - head.size());
        const int64_t headLeft = kReadMs - headTimer.Elapsed();
        const int received =
            headLeft > 0 ? ReadWithin(*stream_, buffer.get(), capacity, headLeft, observer) : kReadTimedOut;
        if (received <= 0 && head.empty() && reused && received != kReadTimedOut &&
            !(observer && observer->StopRequested())) {
            // The server had closed the connection it kept open: try once more anew.
            Close();
            return Attempt::RetryFresh;
        }
        if (received < 0 || received == kReadTimedOut || (received == 0 && head.empty())) {
            Close();
            incoming.Keep();
            return Attempt::Failed;
        }
        head.append(buffer.get(), static_cast<size_t>(received));
        const HeadResult result = ParseReplyHead(head, received == 0, parsed);
        if (result == HeadResult::Complete)
            break;
        if (result == HeadResult::Refused || received == 0 || head.size() >= kHeadLimit) {
            Close();
            incoming.Keep();
            return Attempt::Failed;
        }
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
            !SkipBody(*stream_, parsed.contentLength, std::string_view(head).substr(parsed.bodyStart), observer))
            Close();
        incoming.Keep();
        return Attempt::Failed;
    }
    // A file announced larger than it was signed, or larger than its disk can hold,
    // fails before any of it is written; what was kept stays.
    if ((checks.size >= 0 && size > checks.size) ||
        (checks.size < 0 && parsed.contentLength > 0 && !Fits(folder, parsed.contentLength))) {
        Close();
        incoming.Keep();
        return Attempt::Failed;
    }
    if (parsed.status == 200 && from > 0 && !incoming.Restart()) {
        Close();
        return Attempt::Failed;
    }

    BodyReader reader(*stream_, incoming, observer, progress, size, checks.size);
    bool reusable = false;
    const Body body = reader.Read(parsed, std::string_view(head).substr(parsed.bodyStart), reusable);
    if (body != Body::Complete || !keepAlive_ || !parsed.keepsOpen || !reusable)
        Close();
    switch (body) {
        case Body::Complete:
            break;
        case Body::Cut:
            incoming.Keep();
            return Attempt::Failed;
        case Body::Refused:
        case Body::Broken:
            incoming.Discard();
            return Attempt::Failed;
    }
    if (incoming.Commit())
        return Attempt::Done;
    // A resumed file that fails its checks had an older beginning: once more, whole.
    return from > 0 ? Attempt::RetryWhole : Attempt::Failed;
}

}  // namespace zefo
