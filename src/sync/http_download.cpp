#include "sync/http_download.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/file_system.h"
#include "base/md5.h"
#include "base/path.h"
#include "net/clock.h"
#include "net/crypto.h"
#include "net/server_request.h"
#include "net/stream.h"
#include "net/text_decode.h"
#include "sync/listed_file.h"

namespace zefo {

namespace {

// The largest read, and the room the request has beside the host.
constexpr size_t kHttpBlock = 2048;
// Status line and headers beyond this are refused.
constexpr size_t kHeadLimit = 64 * 1024;
constexpr int kReadSeconds = 10;
// A body without length or chunking ends at the first silent second.
constexpr int kOpenEndSeconds = 1;
constexpr int64_t kOpenEndLimit = 1'000'000'000;
// The TLS handshake's limit.
constexpr uint32_t kHandshakeMs = 10000;
// Longest chunk-size line accepted.
constexpr size_t kSizeLineLimit = 1024;
// Body bytes are gathered to this size before a write to the file.
constexpr size_t kWriteBuffer = 256 * 1024;

constexpr int kReadTimedOut = -3;

struct UrlParts {
    ServerAddress address;
    std::string target;
};

// "https" in any letter case; any other scheme is fetched as plain HTTP.
bool IsHttps(std::string_view scheme) {
    constexpr std::string_view kHttps = "https";
    if (scheme.size() != kHttps.size())
        return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        char c = scheme[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kHttps[i])
            return false;
    }
    return true;
}

bool SplitUrl(std::string_view url, UrlParts& parts) {
    size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return false;
    parts.address.tls = IsHttps(url.substr(0, scheme));
    size_t begin = scheme + 3;
    size_t slash = url.find('/', begin);
    std::string_view authority = url.substr(begin, slash == std::string_view::npos ? url.npos : slash - begin);
    // User information is skipped and never sent; a host cannot hold "@".
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    SplitHostPort(authority, parts.address.host, parts.address.port);
    // SplitHostPort gives 80 when no port is written.
    if (parts.address.tls && (authority.find(':') == std::string_view::npos || authority.back() == ':'))
        parts.address.port = 443;
    if (parts.address.host.empty())
        return false;
    if (slash != std::string_view::npos)
        parts.target = std::string(url.substr(slash + 1));
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

// Waits up to `seconds` for data and receives at most `capacity` bytes once:
// the count, 0 when the peer closed, -1 on error, kReadTimedOut.
int ReadWithin(Stream& stream, char* buffer, size_t capacity, int seconds, Observer* observer) {
    int size = static_cast<int>(capacity);
    int received = stream.ReceiveWaiting(buffer, size);
    if (received != kReceiveNothing)
        return received;
    const int64_t limit = int64_t{seconds} * 1000;
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

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (StartsWithNoCase(text.substr(i), word))
            return true;
    }
    return false;
}

// A decimal length after optional blanks; digits up to the first non-digit.
// False without digits, for a sign or beyond 2^31 - 1.
bool ParseLength(std::string_view text, int64_t& value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    size_t first = i;
    value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX)
            return false;
    }
    return i > first;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The leading hexadecimal size of a chunk-size line, read like "%x"; anything
// after the digits is ignored. False without digits or beyond 2^31 - 1.
bool ParseChunkSize(std::string_view line, int64_t& value) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i + 2 < line.size() && line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X') &&
        HexDigit(line[i + 2]) >= 0)
        i += 2;
    size_t first = i;
    value = 0;
    for (int digit; i < line.size() && (digit = HexDigit(line[i])) >= 0; ++i) {
        value = value * 16 + digit;
        if (value > INT32_MAX)
            return false;
    }
    return i > first;
}

// "HTTP/1.x 200" and nothing else: the three digits after the version are the status.
// A page with another status (an error page, a redirect) is never taken for the file.
bool IsStatusOk(std::string_view line) {
    if (line.substr(0, 5) != "HTTP/")
        return false;
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return false;
    std::string_view rest = line.substr(blank + 1);
    return rest.substr(0, 3) == "200" && (rest.size() == 3 || rest[3] == ' ');
}

struct Head {
    int64_t contentLength = -1;
    bool chunked = false;
    size_t bodyStart = 0;
};

enum class HeadResult { Incomplete, Refused, Complete };

// Parses the status line and headers in `data`. Lines end at a carriage return
// with an optional line feed after it; while the byte after a carriage return has
// not arrived (and more may come) the head counts as incomplete.
HeadResult ParseHead(std::string_view data, bool atEnd, Head& head) {
    head = Head{};
    size_t position = 0;
    bool statusLine = true;
    for (;;) {
        size_t cr = data.find('\r', position);
        if (cr == std::string_view::npos)
            return atEnd ? HeadResult::Refused : HeadResult::Incomplete;
        std::string_view line = data.substr(position, cr - position);
        if (statusLine && !IsStatusOk(line))
            return HeadResult::Refused;
        size_t next = cr + 1;
        if (next == data.size() && !atEnd)
            return HeadResult::Incomplete;
        if (next < data.size() && data[next] == '\n')
            ++next;
        if (statusLine) {
            statusLine = false;
        } else if (line.empty()) {
            head.bodyStart = next;
            return HeadResult::Complete;
        } else if (StartsWithNoCase(line, "transfer-encoding:")) {
            if (ContainsNoCase(line.substr(18), "chunked"))
                head.chunked = true;
        } else if (StartsWithNoCase(line, "content-length:")) {
            if (!ParseLength(line.substr(15), head.contentLength))
                return HeadResult::Refused;
        }
        position = next;
    }
}

bool IsHex(const std::string& text, size_t digits) {
    return text.size() == digits && std::all_of(text.begin(), text.end(), [](char c) { return HexDigit(c) >= 0; });
}

// Where the body goes: a new temporary file beside the target, with the MD5 and the
// SHA-256 taken on the way when they are expected. Bodies without a length of their
// own (chunked or running to the close) end as a failure once they pass kOpenEndLimit.
class BodySink {
  public:
    BodySink(const SafeFolder& folder,
             const std::string& name,
             const DownloadChecks& checks,
             bool bounded,
             Observer* observer)
        : folder_(folder), name_(name), checks_(checks), bounded_(bounded), observer_(observer) {
        checkMd5_ = IsHex(checks.md5, 32);
        checkSha256_ = !checks.sha256.empty();
        buffer_.reserve(kWriteBuffer);
    }
    BodySink(const BodySink&) = delete;
    BodySink& operator=(const BodySink&) = delete;

    // A name of our own that exists nowhere yet: an existing file is never touched.
    bool Create() { return file_.BeginFresh(folder_, name_, name_ + ".zefotmp"); }

    bool Add(const char* data, size_t length) {
        if (bounded_ && static_cast<int64_t>(length) > kOpenEndLimit - written_)
            return false;
        if (observer_) {
            if (observer_->StopRequested())
                return false;
            observer_->Received(static_cast<int64_t>(length));
        }
        if (checkMd5_)
            md5_.Update(data, length);
        if (checkSha256_)
            sha256_.Update(data, length);
        written_ += static_cast<int64_t>(length);
        if (buffer_.size() + length > kWriteBuffer && !Flush())
            return false;
        if (length >= kWriteBuffer)
            return file_.Write(data, length);
        buffer_.insert(buffer_.end(), data, data + length);
        return true;
    }

    Observer* observer() const { return observer_; }

    // Bytes a bounded body may still take.
    int64_t room() const { return bounded_ ? kOpenEndLimit - written_ : INT64_MAX; }

    // Moves the complete body over the target; on false the target is unchanged
    // and the temporary file is gone.
    bool Commit() {
        if (!Flush())
            return false;
        if (checkMd5_ && !SameFingerprint(md5_.FinalHex(), checks_.md5))
            return false;
        // A malformed digest fails too: it was meant to be checked.
        if (checkSha256_ && (!IsHex(checks_.sha256, 64) || !SameFingerprint(sha256_.FinalHex(), checks_.sha256)))
            return false;
        return file_.Commit();
    }

  private:
    bool Flush() {
        if (buffer_.empty())
            return true;
        bool ok = file_.Write(buffer_.data(), buffer_.size());
        buffer_.clear();
        return ok;
    }

    const SafeFolder& folder_;
    std::string name_;
    const DownloadChecks& checks_;
    bool checkMd5_ = false;
    bool checkSha256_ = false;
    bool bounded_;
    Observer* observer_;
    FileReplacement file_;
    Md5 md5_;
    Sha256 sha256_;
    std::vector<char> buffer_;
    int64_t written_ = 0;
};

bool ReceiveSizedBody(Stream& stream, std::string_view first, int64_t length, BodySink& sink) {
    size_t take = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(first.size())));
    if (!sink.Add(first.data(), take))
        return false;
    int64_t left = length - static_cast<int64_t>(take);
    char buffer[kHttpBlock];
    while (left > 0) {
        size_t capacity = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kHttpBlock)));
        int received = ReadWithin(stream, buffer, capacity, kReadSeconds, sink.observer());
        // A body that ends before its length is incomplete.
        if (received <= 0)
            return false;
        if (!sink.Add(buffer, static_cast<size_t>(received)))
            return false;
        left -= received;
    }
    return true;
}

// Decodes the chunked transfer coding as its bytes arrive.
class ChunkDecoder {
  public:
    enum class State { SizeLine, Data, DataCr, DataLf, Done, Broken };

    // Consumes `data`; false when the sink refused bytes.
    bool Feed(std::string_view data, BodySink& sink) {
        size_t i = 0;
        while (i < data.size() && state_ != State::Done && state_ != State::Broken) {
            switch (state_) {
                case State::SizeLine: {
                    size_t lf = data.find('\n', i);
                    size_t end = lf == std::string_view::npos ? data.size() : lf;
                    line_.append(data.substr(i, end - i));
                    if (line_.size() > kSizeLineLimit) {
                        state_ = State::Broken;
                        break;
                    }
                    i = end;
                    if (lf == std::string_view::npos)
                        break;
                    ++i;
                    int64_t size = 0;
                    if (!ParseChunkSize(line_, size)) {
                        state_ = State::Broken;
                        break;
                    }
                    line_.clear();
                    // A chunk that cannot fit the bound fails before its bytes arrive.
                    if (size > sink.room()) {
                        state_ = State::Broken;
                        break;
                    }
                    left_ = size;
                    // Trailer lines after the last chunk are not read.
                    state_ = size == 0 ? State::Done : State::Data;
                    break;
                }
                case State::Data: {
                    size_t take = static_cast<size_t>(std::min<int64_t>(left_, static_cast<int64_t>(data.size() - i)));
                    if (!sink.Add(data.data() + i, take))
                        return false;
                    i += take;
                    left_ -= static_cast<int64_t>(take);
                    if (left_ == 0)
                        state_ = State::DataCr;
                    break;
                }
                case State::DataCr:
                    state_ = data[i++] == '\r' ? State::DataLf : State::Broken;
                    break;
                case State::DataLf:
                    state_ = data[i++] == '\n' ? State::SizeLine : State::Broken;
                    break;
                case State::Done:
                case State::Broken:
                    break;
            }
        }
        return true;
    }

    State state() const { return state_; }

  private:
    State state_ = State::SizeLine;
    std::string line_;
    int64_t left_ = 0;
};

bool ReceiveChunkedBody(Stream& stream, std::string_view first, BodySink& sink) {
    ChunkDecoder decoder;
    if (!decoder.Feed(first, sink))
        return false;
    char buffer[kHttpBlock];
    for (;;) {
        if (decoder.state() == ChunkDecoder::State::Done)
            return true;
        if (decoder.state() == ChunkDecoder::State::Broken)
            return false;
        int received = ReadWithin(stream, buffer, kHttpBlock, kReadSeconds, sink.observer());
        // A chunked body that ends without its zero-size chunk is incomplete.
        if (received <= 0)
            return false;
        if (!decoder.Feed(std::string_view(buffer, static_cast<size_t>(received)), sink))
            return false;
    }
}

bool ReceiveOpenEndedBody(Stream& stream, std::string_view first, BodySink& sink) {
    if (!sink.Add(first.data(), first.size()))
        return false;
    char buffer[kHttpBlock];
    for (;;) {
        int received = ReadWithin(stream, buffer, kHttpBlock, kOpenEndSeconds, sink.observer());
        if (received == 0 || received == kReadTimedOut)
            return true;
        // More than the limit cannot be stored whole; a cut file is no success.
        if (received < 0)
            return false;
        if (!sink.Add(buffer, static_cast<size_t>(received)))
            return false;
    }
}

}  // namespace

bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const DownloadChecks& checks,
                  Observer* observer) {
    std::string url8;
    if (!EncodeCodePage(url, url8))
        url8.clear();
    UrlParts parts;
    if (!SplitUrl(url8, parts) || HasControlBytes(parts.address.host) || HasControlBytes(parts.target))
        return false;

    std::string request = "GET /";
    request.append(parts.target).append(" HTTP/1.1\r\nAccept: */*\r\nHost: ").append(HostLine(parts.address));
    request.append("\r\nConnection: close\r\n\r\n");
    // The request and its terminating zero must fit the block of host length + 2048.
    if (request.size() + 1 > parts.address.host.size() + kHttpBlock)
        return false;

    std::string reason;
    StreamPtr stream = OpenStream(parts.address, checks.pin, kHandshakeMs, reason);
    if (!stream || stream->Send(request.data(), static_cast<int>(request.size())) < 0)
        return false;

    // Status line and headers: the first read, then more reads while the head
    // is incomplete, up to kHeadLimit bytes.
    std::string head;
    Head parsed;
    char buffer[kHttpBlock];
    for (;;) {
        size_t capacity = std::min(kHttpBlock, kHeadLimit - head.size());
        int received = ReadWithin(*stream, buffer, capacity, kReadSeconds, observer);
        if (received == kReadTimedOut || received < 0)
            return false;
        if (received == 0 && head.empty())
            return false;
        head.append(buffer, static_cast<size_t>(received));
        HeadResult result = ParseHead(head, received == 0, parsed);
        if (result == HeadResult::Refused)
            return false;
        if (result == HeadResult::Complete)
            break;
        if (received == 0 || head.size() >= kHeadLimit)
            return false;
    }

    BodySink sink(folder, name, checks, parsed.contentLength == -1, observer);
    if (!sink.Create())
        return false;
    std::string_view first = std::string_view(head).substr(parsed.bodyStart);
    bool complete;
    if (parsed.contentLength != -1)
        complete = ReceiveSizedBody(*stream, first, parsed.contentLength, sink);
    else if (parsed.chunked)
        complete = ReceiveChunkedBody(*stream, first, sink);
    else
        complete = ReceiveOpenEndedBody(*stream, first, sink);
    return complete && sink.Commit();
}

bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const std::string& expectedMd5,
                  Observer* observer) {
    return HttpDownload(url, folder, name, DownloadChecks{expectedMd5, {}, {}}, observer);
}

bool HttpDownload(const std::string& url,
                  const std::string& localPath,
                  const std::string& expectedMd5,
                  Observer* observer) {
    size_t cut = localPath.size();
    while (cut > 0 && !IsPathSeparator(localPath[cut - 1]))
        --cut;
    SafeFolder folder;
    if (folder.Open(cut == 0 ? "." : localPath.substr(0, cut), "", false) != SafeFolder::OpenResult::Opened)
        return false;
    return HttpDownload(url, folder, localPath.substr(cut), expectedMd5, observer);
}

}  // namespace zefo
