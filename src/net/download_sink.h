// Where the body of a download goes. The HTTP client knows no files: it hands the
// bytes to a sink, so that one pass can write a file and feed its digests, and a test
// can collect the bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zefo {

// Takes body bytes in the order they arrive.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Takes the next `length` bytes; false refuses them, which ends the download.
    virtual bool Append(const char* data, size_t length) = 0;
};

// The sink of a whole file: it may hold the start of the file from an earlier attempt,
// can start over, and ends committed, kept for a later resume, or discarded.
class DownloadSink : public ByteSink {
  public:
    // The bytes held already: a download asks only for the rest ("Range: bytes=N-").
    virtual int64_t held() const = 0;
    // The most bytes the whole file may have (its signed size), or -1 when not known:
    // a reply that announces more fails before its body, one that brings more fails.
    virtual int64_t limit() const = 0;
    // Whether `bytes` more fit where the file goes (asked when there is no limit).
    virtual bool HasRoomFor(int64_t bytes) const = 0;
    // Drops what is held and starts empty: the server sends the whole file. On false
    // the sink can take nothing more.
    virtual bool StartOver() = 0;
    // Verifies the whole file and puts it in place; on false it is gone.
    virtual bool Commit() = 0;
    // Ends without a commit and keeps what arrived, for a later attempt to resume.
    virtual void Keep() = 0;
    // Ends without a commit and drops what arrived.
    virtual void Discard() = 0;
};

}  // namespace zefo
