// The bytes of one fetched span into a file at their offset: the sink of a byte range
// (HttpClient::FetchRange) for a file that several ranges fill at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/native_file.h"
#include "net/download_sink.h"

namespace zefo {

class SpanSink final : public ByteSink {
  public:
    // Bytes go to `file` (which must outlive this) from `offset` on, `length` of them at most.
    SpanSink(const NativeFile& file, int64_t offset, int64_t length) : file_(file), offset_(offset), length_(length) {}

    // False for bytes past the span's end (nothing is written then) or a failed write.
    bool Append(const char* data, size_t length) override;
    // The bytes written so far.
    int64_t written() const { return written_; }

  private:
    const NativeFile& file_;
    const int64_t offset_;
    const int64_t length_;
    int64_t written_ = 0;
};

}  // namespace zefo
