// The platform's own clocks, behind the replaceable ones of clock.h.
#pragma once

#include <cstdint>

namespace zefo::detail {

uint32_t SystemTicks();
void SystemSleep(uint32_t milliseconds);
int64_t SystemWallMilliseconds();

}  // namespace zefo::detail
