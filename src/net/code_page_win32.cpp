#include <windows.h>

#include <optional>
#include <vector>

#include "base/wide_text_win32.h"
#include "net/code_page.h"

namespace zefo::detail {

std::string CodePageToUtf8(const char* bytes, size_t length) {
    if (length == 0 || length > 0x7FFFFFFF)
        return {};
    int count = static_cast<int>(length);
    int size = MultiByteToWideChar(CP_ACP, 0, bytes, count, nullptr, 0);
    if (size <= 0)
        return {};
    std::vector<wchar_t> wide(static_cast<size_t>(size));
    MultiByteToWideChar(CP_ACP, 0, bytes, count, wide.data(), size);
    return Narrow(std::wstring_view(wide.data(), static_cast<size_t>(size)));
}

bool Utf8ToCodePage(const std::string& text, std::string& bytes) {
    if (text.empty())
        return true;
    if (text.size() > 0x7FFFFFFF)
        return false;
    std::optional<std::wstring> wide = WidenExact(text);
    if (!wide)
        return false;
    int size = static_cast<int>(wide->size());
    // Characters the code page lacks become its default character.
    int length = WideCharToMultiByte(CP_ACP, 0, wide->data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return false;
    bytes.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_ACP, 0, wide->data(), size, bytes.data(), length, nullptr, nullptr);
    return true;
}

}  // namespace zefo::detail
