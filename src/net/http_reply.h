// Reading an HTTP/1.1 reply: the status line and headers, and the chunked transfer
// coding. Pure functions over bytes; every length and size is checked and bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zefo {

// The largest body length and chunk size taken (a petabyte: no game's file is larger,
// and sums of them cannot overflow).
constexpr int64_t kMaxBodyLength = int64_t{1} << 50;

struct ReplyHead {
    int status = 0;              // the three digits after the version
    bool keepsOpen = false;      // the server keeps the connection for another request
    int64_t contentLength = -1;  // -1 when the reply names none
    bool chunked = false;
    // "Content-Range: bytes FIRST-LAST/TOTAL", when present and well formed (TOTAL -1 for "*").
    bool hasRange = false;
    int64_t rangeFirst = 0;
    int64_t rangeLast = 0;
    int64_t rangeTotal = -1;
    size_t bodyStart = 0;  // where the body begins in the bytes parsed
    std::string location;  // the Location line's value without blanks around it, or empty
};

enum class HeadResult { Incomplete, Refused, Complete };

// Parses the status line and headers at the start of `data`. Lines end at a carriage
// return with an optional line feed after it; the status line must be "HTTP/1.x" and a
// three-digit code; a content length must be decimal digits within kMaxBodyLength.
// While the head has not ended (and `atEnd` says more may come) it is incomplete.
HeadResult ParseReplyHead(std::string_view data, bool atEnd, ReplyHead& head);

// Decodes the chunked transfer coding as its bytes arrive, handing the body bytes on.
class ChunkDecoder {
  public:
    enum class State { SizeLine, Data, DataCr, DataLf, Done, Broken };

    // Takes `data`; `body` gets each run of body bytes and may refuse them, which
    // ends the feed with false. A chunk larger than `room` more body bytes breaks the
    // coding before its bytes arrive. After the final chunk the trailer lines are
    // taken up to their empty line; bytes beyond it, and the rest after a trailer line
    // too long to take, are left over: the body is done, the reply is not.
    bool Feed(std::string_view data, int64_t room, const std::function<bool(const char*, size_t)>& body);
    // The body is complete (the final chunk arrived).
    bool BodyDone() const { return state_ == State::Done; }
    // The reply is read to its very end, trailers included, with nothing after it.
    bool ReplyDone() const { return state_ == State::Done && !inTrailers_ && leftover_ == 0; }
    bool Broken() const { return state_ == State::Broken; }

  private:
    State state_ = State::SizeLine;
    std::string line_;
    int64_t left_ = 0;
    bool inTrailers_ = false;
    size_t leftover_ = 0;
};

}  // namespace zefo
