#include "sync/span_sink.h"

#include <string_view>

namespace zefo {

bool SpanSink::Append(const char* data, size_t length) {
    if (static_cast<int64_t>(length) > length_ - written_ ||
        !WriteAtOffset(file_, static_cast<uint64_t>(offset_ + written_), std::string_view(data, length)))
        return false;
    written_ += static_cast<int64_t>(length);
    return true;
}

}  // namespace zefo
