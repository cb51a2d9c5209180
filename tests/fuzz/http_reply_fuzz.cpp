// The HTTP reply reader as a download meets it: the head parsed again each time a
// piece arrives, then the bytes after it through the chunk decoder. How the bytes
// are cut must not matter: the head is incomplete until the piece that decides it
// and then the same as for all the bytes at once; the decoder hands over the same
// body and ends in the same state whether it gets the pieces, one byte at a time or
// everything at once, never more body than its room, and a strictly formed chunked
// body decodes to what a plain reading of its grammar gives.
//
// The input's first byte holds the number of cut bytes that follow (low four bits)
// and chooses the body's room (high four bits); the cut bytes, each plus one, are
// the pieces' lengths in turn. The rest is the reply.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "fuzz_check.h"
#include "net/http_reply.h"

namespace {

using zefo::ChunkDecoder;
using zefo::HeadResult;
using zefo::kMaxBodyLength;
using zefo::ReplyHead;

constexpr size_t kNone = std::string_view::npos;
// The client's bound is 1,000,000,000 bytes; the small rooms let a few bytes pass it.
constexpr int64_t kRooms[16] = {
    kMaxBodyLength, 0, 1, 2, 3, 7, 16, 100, 255, 256, 1000, 4096, 65536, 1 << 20, 1'000'000'000, kMaxBodyLength - 1};
// The reference reads lines of at most this many bytes and sizes of at most 12
// digits (below kMaxBodyLength); longer ones the decoder may take or refuse.
constexpr size_t kReferenceLine = 1000;
constexpr size_t kReferenceDigits = 12;

struct Input {
    int64_t room = kMaxBodyLength;
    std::vector<size_t> lengths;
    std::string_view reply;
};

Input Read(std::string_view bytes) {
    Input input;
    if (bytes.empty())
        return input;
    const auto control = static_cast<unsigned char>(bytes[0]);
    input.room = kRooms[control >> 4];
    const size_t cuts = std::min<size_t>(control & 15, bytes.size() - 1);
    for (size_t i = 0; i < cuts; ++i)
        input.lengths.push_back(1 + static_cast<unsigned char>(bytes[1 + i]));
    input.reply = bytes.substr(1 + cuts);
    return input;
}

// The reply in pieces of the lengths in turn; one piece without lengths.
std::vector<std::string_view> Cut(std::string_view reply, const std::vector<size_t>& lengths) {
    std::vector<std::string_view> pieces;
    for (size_t at = 0, turn = 0; at < reply.size(); ++turn) {
        pieces.push_back(reply.substr(at, lengths.empty() ? kNone : lengths[turn % lengths.size()]));
        at += pieces.back().size();
    }
    return pieces;
}

std::vector<std::string_view> Bytes(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (size_t at = 0; at < text.size(); ++at)
        pieces.push_back(text.substr(at, 1));
    return pieces;
}

bool SameHead(const ReplyHead& a, const ReplyHead& b) {
    return a.status == b.status && a.keepsOpen == b.keepsOpen && a.contentLength == b.contentLength &&
           a.chunked == b.chunked && a.hasRange == b.hasRange && a.rangeFirst == b.rangeFirst &&
           a.rangeLast == b.rangeLast && a.rangeTotal == b.rangeTotal && a.bodyStart == b.bodyStart;
}

// A complete head's fields are in bounds and come from its text.
void CheckComplete(std::string_view reply, const ReplyHead& head) {
    FUZZ_CHECK(head.bodyStart <= reply.size());
    const std::string_view text = reply.substr(0, head.bodyStart);
    // The status is the three digits after the first line's first blank.
    const size_t blank = text.find(' ');
    FUZZ_CHECK(text.substr(0, 5) == "HTTP/" && blank != kNone && blank < text.find('\r'));
    FUZZ_CHECK(head.status >= 0 && head.status <= 999);
    FUZZ_CHECK(text.substr(blank + 1, 3) == std::to_string(1000 + head.status).substr(1));
    FUZZ_CHECK(head.contentLength == -1 || (head.contentLength >= 0 && head.contentLength <= kMaxBodyLength));
    if (head.hasRange) {
        FUZZ_CHECK(head.rangeFirst >= 0 && head.rangeFirst <= head.rangeLast && head.rangeLast <= kMaxBodyLength);
        FUZZ_CHECK(head.rangeTotal == -1 || (head.rangeTotal > head.rangeLast && head.rangeTotal <= kMaxBodyLength));
    }
    const std::string lower = zefo::LowerAsciiText(text);
    FUZZ_CHECK(head.contentLength == -1 || lower.find("\rcontent-length:") != kNone ||
               lower.find("\ncontent-length:") != kNone);
    FUZZ_CHECK(!head.hasRange || lower.find("content-range:") != kNone);
    FUZZ_CHECK(!head.chunked || lower.find("chunked") != kNone);
    // The head ends with an empty line: a line end, then CR or CR LF.
    size_t end = text.size();
    if (end >= 2 && text.substr(end - 2) == "\r\n")
        end -= 2;
    else if (end >= 1 && text[end - 1] == '\r')
        end -= 1;
    else
        FUZZ_CHECK(false);
    FUZZ_CHECK(end >= 1 && (text[end - 1] == '\r' || (end >= 2 && text.substr(end - 2, 2) == "\r\n")));
}

// The head over the prefixes the pieces make, as a download collects it. `taken`
// gets how many pieces had arrived when it was decided.
HeadResult GrowingHead(std::string_view reply,
                       const std::vector<std::string_view>& pieces,
                       ReplyHead& head,
                       size_t& taken) {
    size_t used = 0;
    for (taken = 0; taken < pieces.size();) {
        used += pieces[taken++].size();
        const HeadResult result = zefo::ParseReplyHead(reply.substr(0, used), false, head);
        if (result != HeadResult::Incomplete)
            return result;
    }
    return HeadResult::Incomplete;
}

struct Decoded {
    std::string body;
    bool bodyDone = false;
    bool replyDone = false;
    bool broken = false;

    bool operator==(const Decoded&) const = default;
};

// Feeds the pieces, passing the room left each time as a download does. Broken
// and a done body are final: no more body bytes once either is reached.
Decoded Decode(const std::vector<std::string_view>& pieces, int64_t room) {
    ChunkDecoder decoder;
    Decoded out;
    const std::function<bool(const char*, size_t)> take = [&out, room](const char* data, size_t length) {
        FUZZ_CHECK(length > 0 && static_cast<int64_t>(length) <= room - static_cast<int64_t>(out.body.size()));
        out.body.append(data, length);
        return true;
    };
    for (std::string_view piece : pieces) {
        const size_t before = out.body.size();
        const bool wasDone = decoder.BodyDone();
        const bool wasBroken = decoder.Broken();
        FUZZ_CHECK(decoder.Feed(piece, room - static_cast<int64_t>(out.body.size()), take));
        FUZZ_CHECK(!wasDone || (decoder.BodyDone() && out.body.size() == before));
        FUZZ_CHECK(!wasBroken || (decoder.Broken() && out.body.size() == before));
        FUZZ_CHECK(!decoder.ReplyDone() || decoder.BodyDone());
    }
    out.bodyDone = decoder.BodyDone();
    out.replyDone = decoder.ReplyDone();
    out.broken = decoder.Broken();
    return out;
}

struct Reference {
    std::string body;
    bool overRoom = false;  // a chunk larger than the room left: the coding breaks there
    size_t end = 0;         // where the reply ends, after the trailers' empty line
};

// A strictly formed chunked body read by its grammar: every line ends in CR LF; a
// size line is hexadecimal digits with an optional ";extension"; a chunk's bytes end
// in CR LF; after the zero-size chunk come trailer lines up to an empty one. Nothing
// for anything else, or a body cut short.
std::optional<Reference> Strict(std::string_view text, int64_t room) {
    Reference reference;
    size_t at = 0;
    auto nextLine = [text, &at](std::string_view& line) {
        const size_t end = text.find("\r\n", at);
        if (end == kNone || end - at > kReferenceLine)
            return false;
        line = text.substr(at, end - at);
        at = end + 2;
        return line.find_first_of("\r\n") == kNone;
    };
    std::string_view line;
    for (;;) {
        if (!nextLine(line))
            return std::nullopt;
        const size_t digits = std::min(line.find(';'), line.size());
        // Unsigned, so that no sign is taken as part of the number.
        uint64_t size = 0;
        const auto [stop, error] = std::from_chars(line.data(), line.data() + digits, size, 16);
        if (digits == 0 || digits > kReferenceDigits || error != std::errc() || stop != line.data() + digits)
            return std::nullopt;
        if (static_cast<int64_t>(size) > room - static_cast<int64_t>(reference.body.size())) {
            reference.overRoom = true;
            return reference;
        }
        if (size == 0)
            break;
        const auto length = static_cast<size_t>(size);
        if (text.size() - at < length + 2 || text.substr(at + length, 2) != "\r\n")
            return std::nullopt;
        reference.body.append(text.substr(at, length));
        at += length + 2;
    }
    do {
        if (!nextLine(line))
            return std::nullopt;
    } while (!line.empty());
    reference.end = at;
    return reference;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Input input = Read(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string_view reply = input.reply;
    const std::vector<std::string_view> pieces = Cut(reply, input.lengths);

    // The head: all bytes at once, with and without the connection's end, and growing.
    ReplyHead whole, ended, grown;
    const HeadResult wholeResult = zefo::ParseReplyHead(reply, false, whole);
    const HeadResult endedResult = zefo::ParseReplyHead(reply, true, ended);
    size_t taken = 0;
    const HeadResult grownResult = GrowingHead(reply, pieces, grown, taken);
    FUZZ_CHECK(grownResult == wholeResult);
    FUZZ_CHECK(endedResult != HeadResult::Incomplete);
    if (wholeResult != HeadResult::Incomplete) {
        // More bytes, or the end, change nothing once the head is decided.
        FUZZ_CHECK(endedResult == wholeResult);
    } else if (endedResult == HeadResult::Complete) {
        // Only the empty line's CR as the very last byte waited for the end.
        FUZZ_CHECK(ended.bodyStart == reply.size() && reply.back() == '\r');
    }
    if (wholeResult == HeadResult::Complete) {
        FUZZ_CHECK(SameHead(grown, whole) && SameHead(ended, whole));
        CheckComplete(reply, whole);
    }
    if (endedResult == HeadResult::Complete)
        CheckComplete(reply, ended);

    // The body: what follows a complete head, or every byte when there is none. A
    // download feeds the rest of the piece that completed the head first.
    std::string_view body = reply;
    std::vector<std::string_view> bodyPieces = pieces;
    if (grownResult == HeadResult::Complete) {
        body = reply.substr(grown.bodyStart);
        size_t used = 0;
        for (size_t i = 0; i < taken; ++i)
            used += pieces[i].size();
        bodyPieces.assign(1, reply.substr(grown.bodyStart, used - grown.bodyStart));
        bodyPieces.insert(bodyPieces.end(), pieces.begin() + static_cast<ptrdiff_t>(taken), pieces.end());
    }
    const Decoded cut = Decode(bodyPieces, input.room);
    FUZZ_CHECK(Decode({body}, input.room) == cut);
    FUZZ_CHECK(Decode(Bytes(body), input.room) == cut);
    if (const std::optional<Reference> reference = Strict(body, input.room)) {
        FUZZ_CHECK(cut.body == reference->body);
        if (reference->overRoom)
            FUZZ_CHECK(cut.broken);
        else
            FUZZ_CHECK(cut.bodyDone && cut.replyDone == (reference->end == body.size()));
    }
    return 0;
}
