#include <windows.h>

#include "support/native_file.h"

namespace zefo {

void CloseNativeFile(intptr_t handle) {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool WriteAllToFile(const NativeFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        // WriteFile takes a DWORD count; large buffers go out in pieces.
        DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD put = 0;
        if (!::WriteFile(reinterpret_cast<HANDLE>(file.get()), bytes.data(), chunk, &put, nullptr) || put == 0)
            return false;
        bytes.remove_prefix(put);
    }
    return true;
}

}  // namespace zefo
