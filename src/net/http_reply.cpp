#include "net/http_reply.h"

#include <algorithm>

#include "base/ascii.h"

namespace zefo {

namespace {

// Longest chunk-size or trailer line taken.
constexpr size_t kLineLimit = 1024;

std::string_view SkipBlanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    return text.substr(i);
}

// Decimal digits up to the first non-digit (after blanks); false without digits or
// beyond kMaxBodyLength. `used` gets the end of the digits.
bool ParseDecimal(std::string_view text, int64_t& value, size_t* used = nullptr) {
    size_t i = 0;
    value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMaxBodyLength)
            return false;
    }
    if (used)
        *used = i;
    return i > 0;
}

// The leading hexadecimal size of a chunk-size line, read like "%x"; anything after
// the digits is ignored.
bool ParseChunkSize(std::string_view line, int64_t& value) {
    line = SkipBlanks(line);
    if (line.size() > 2 && line[0] == '0' && (line[1] == 'x' || line[1] == 'X') && HexDigitValue(line[2]) >= 0)
        line.remove_prefix(2);
    size_t i = 0;
    value = 0;
    for (int digit; i < line.size() && (digit = HexDigitValue(line[i])) >= 0; ++i) {
        value = value * 16 + digit;
        if (value > kMaxBodyLength)
            return false;
    }
    return i > 0;
}

// "HTTP/1.x NNN": the status code and whether the version is 1.1 or later. False for
// anything else, a "200" elsewhere on the line included.
bool ParseStatusLine(std::string_view line, int& status, bool& http11) {
    if (line.substr(0, 5) != "HTTP/")
        return false;
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return false;
    const std::string_view version = line.substr(5, blank - 5);
    http11 = version != "1.0" && version != "0.9";
    const std::string_view rest = line.substr(blank + 1);
    if (rest.size() < 3 || (rest.size() > 3 && rest[3] != ' '))
        return false;
    status = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (rest[i] < '0' || rest[i] > '9')
            return false;
        status = status * 10 + (rest[i] - '0');
    }
    return true;
}

// "bytes FIRST-LAST/TOTAL" or "bytes FIRST-LAST/*".
bool ParseContentRange(std::string_view value, ReplyHead& head) {
    value = SkipBlanks(value);
    if (!StartsWithNoCase(value, "bytes "))
        return false;
    value = SkipBlanks(value.substr(6));
    size_t used = 0;
    if (!ParseDecimal(value, head.rangeFirst, &used) || used >= value.size() || value[used] != '-')
        return false;
    value.remove_prefix(used + 1);
    if (!ParseDecimal(value, head.rangeLast, &used) || used >= value.size() || value[used] != '/')
        return false;
    value.remove_prefix(used + 1);
    if (value.substr(0, 1) == "*") {
        head.rangeTotal = -1;
    } else if (!ParseDecimal(value, head.rangeTotal)) {
        return false;
    }
    return head.rangeFirst <= head.rangeLast && (head.rangeTotal == -1 || head.rangeLast < head.rangeTotal);
}

}  // namespace

HeadResult ParseReplyHead(std::string_view data, bool atEnd, ReplyHead& head) {
    head = ReplyHead{};
    bool http11 = false;
    bool closes = false;
    bool keepAlive = false;
    size_t position = 0;
    bool statusLine = true;
    for (;;) {
        const size_t cr = data.find('\r', position);
        if (cr == std::string_view::npos)
            return atEnd ? HeadResult::Refused : HeadResult::Incomplete;
        const std::string_view line = data.substr(position, cr - position);
        if (statusLine && !ParseStatusLine(line, head.status, http11))
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
            // HTTP/1.1 keeps the connection unless told otherwise; 1.0 only when asked.
            head.keepsOpen = !closes && (http11 || keepAlive);
            return HeadResult::Complete;
        } else if (StartsWithNoCase(line, "transfer-encoding:")) {
            if (ContainsNoCase(line.substr(18), "chunked"))
                head.chunked = true;
        } else if (StartsWithNoCase(line, "content-length:")) {
            if (!ParseDecimal(SkipBlanks(line.substr(15)), head.contentLength))
                return HeadResult::Refused;
        } else if (StartsWithNoCase(line, "content-range:")) {
            head.hasRange = ParseContentRange(line.substr(14), head);
        } else if (StartsWithNoCase(line, "location:")) {
            std::string_view value = SkipBlanks(line.substr(9));
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            head.location = std::string(value);
        } else if (StartsWithNoCase(line, "connection:")) {
            closes = closes || ContainsNoCase(line.substr(11), "close");
            keepAlive = keepAlive || ContainsNoCase(line.substr(11), "keep-alive");
        }
        position = next;
    }
}

bool ChunkDecoder::Feed(std::string_view data, int64_t room, const std::function<bool(const char*, size_t)>& body) {
    size_t i = 0;
    while (i < data.size() && state_ != State::Broken) {
        switch (state_) {
            case State::SizeLine:
            case State::Done: {
                if (state_ == State::Done && !inTrailers_) {
                    // Bytes after the reply's end: nothing the server should send.
                    leftover_ += data.size() - i;
                    return true;
                }
                const size_t lf = data.find('\n', i);
                const size_t end = lf == std::string_view::npos ? data.size() : lf;
                line_.append(data.substr(i, end - i));
                if (line_.size() > kLineLimit && state_ == State::Done) {
                    // A trailer line too long to take: the body stands, but where the
                    // reply ends is unknown, so the rest counts as left over.
                    leftover_ += line_.size();
                    line_.clear();
                    inTrailers_ = false;
                    i = end;
                    break;
                }
                if (line_.size() > kLineLimit) {
                    state_ = State::Broken;
                    break;
                }
                i = end;
                if (lf == std::string_view::npos)
                    break;
                ++i;
                if (state_ == State::Done) {
                    // A trailer line; the empty one ends the reply.
                    if (line_.empty() || line_ == "\r")
                        inTrailers_ = false;
                    line_.clear();
                    break;
                }
                int64_t size = 0;
                if (!ParseChunkSize(line_, size) || size > room) {
                    // A chunk that cannot fit the bound fails before its bytes arrive.
                    state_ = State::Broken;
                    break;
                }
                line_.clear();
                left_ = size;
                if (size == 0) {
                    state_ = State::Done;
                    inTrailers_ = true;
                } else {
                    state_ = State::Data;
                }
                break;
            }
            case State::Data: {
                const auto take = static_cast<size_t>(std::min<int64_t>(left_, static_cast<int64_t>(data.size() - i)));
                if (!body(data.data() + i, take))
                    return false;
                room -= static_cast<int64_t>(take);
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
            case State::Broken:
                break;
        }
    }
    return true;
}

}  // namespace zefo
