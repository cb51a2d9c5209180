#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>

#include "net/system_clock.h"

namespace zefo::detail {

uint32_t SystemTicks() {
    return GetTickCount();
}

void SystemSleep(uint32_t milliseconds) {
    // Without the raised resolution a 1 ms sleep lasts a whole scheduler tick.
    timeBeginPeriod(1);
    Sleep(milliseconds);
    timeEndPeriod(1);
}

int64_t SystemWallMilliseconds() {
    FILETIME file{};
    GetSystemTimeAsFileTime(&file);
    ULARGE_INTEGER value{};
    value.LowPart = file.dwLowDateTime;
    value.HighPart = file.dwHighDateTime;
    // 100 ns units since 1601 to milliseconds since 1970.
    return static_cast<int64_t>(value.QuadPart / 10000ULL) - 11644473600000LL;
}

}  // namespace zefo::detail
