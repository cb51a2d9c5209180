// The platform half of tcp_client.h.
#pragma once

#include <cstdint>

namespace zefo::detail {

// Waits at most `milliseconds` for the socket to become readable (data, close or error).
bool PlatformWaitReadable(uintptr_t socket, uint32_t milliseconds);

}  // namespace zefo::detail
