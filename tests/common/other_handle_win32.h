// Windows only: a handle on a test file held as another program would hold it, to see
// which opens the code under test still allows.
#pragma once

#include <windows.h>

#include <string>

#include "base/wide_text_win32.h"

namespace zefo::test {

class OtherHandle {
  public:
    OtherHandle(const std::string& path, DWORD access, DWORD share)
        : handle_(CreateFileW(Widen(path).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~OtherHandle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    OtherHandle(const OtherHandle&) = delete;
    OtherHandle& operator=(const OtherHandle&) = delete;

    bool opened() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// Whether the file opens (and is closed again at once) with this access and sharing.
inline bool CanOpen(const std::string& path, DWORD access, DWORD share) {
    return OtherHandle(path, access, share).opened();
}

}  // namespace zefo::test
