#include <string_view>

#include "base/ascii.h"
#include "base/listed_path.h"
#include "base/path.h"

namespace zefo {

namespace {

// Folders deeper than this are no game's; each level costs a folder operation.
constexpr int kMaxListedDepth = 128;

// A name at the top of the folder that the program keeps for itself.
bool IsReservedTopName(std::string_view component, const ReservedNames& reserved) {
    for (std::string_view name : reserved.topNames) {
        if (EqualsNoCase(component, name))
            return true;
    }
    return false;
}

// A name that ends in the temporary suffix, with or without digits after it.
bool IsTemporaryName(std::string_view component, const ReservedNames& reserved) {
    if (reserved.temporarySuffix.empty())
        return false;
    size_t end = component.size();
    while (end > 0 && component[end - 1] >= '0' && component[end - 1] <= '9')
        --end;
    return EndsWithNoCase(component.substr(0, end), reserved.temporarySuffix);
}

bool IsSafeComponent(std::string_view component, const ReservedNames& reserved) {
    if (component.empty())
        return false;
    // Windows drops trailing dots and blanks, which would turn ".. " into "..".
    if (component.back() == '.' || component.back() == ' ')
        return false;
    return !IsDeviceName(component) && !IsTemporaryName(component, reserved);
}

}  // namespace

// Windows opens these devices whatever the folder and the extension: "nul.txt",
// "data\COM1.pak" and "CON .x" all name a device.
bool IsDeviceName(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsNoCase(base, name))
            return true;
    }
    if (base.size() < 4)
        return false;
    std::string_view stem = base.substr(0, 3);
    if (!EqualsNoCase(stem, "COM") && !EqualsNoCase(stem, "LPT"))
        return false;
    std::string_view digit = base.substr(3);
    // A digit, or superscript one, two or three (UTF-8), which Windows also takes.
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
           digit == "\xC2\xB3";
}

bool HoldsListFraming(std::string_view text) {
    for (std::string_view marker : {"[data]", "[/data]", "[sig]", "[/sig]"}) {
        if (ContainsNoCase(text, marker))
            return true;
    }
    return false;
}

bool IsSafeRelativePath(const std::string& path, const ReservedNames& reserved) {
    if (path.empty() || !WithinPathLimit(path) || HoldsListFraming(path))
        return false;
    for (unsigned char c : path) {
        if (c < 32)
            return false;
        switch (c) {
            case '<':
            case '>':
            case ':':
            case '"':
            case '|':
            case '?':
            case '*':
                return false;
            default:
                break;
        }
    }
    // Separators are "\" and "/"; a leading one makes the path rooted, and an
    // empty component anywhere (a share's "\\", "a//b", a trailing separator) is refused.
    size_t start = 0;
    for (int depth = 1; depth <= kMaxListedDepth; ++depth) {
        size_t end = path.find_first_of("\\/", start);
        std::string_view component(path.data() + start, (end == std::string::npos ? path.size() : end) - start);
        if (!IsSafeComponent(component, reserved) || (depth == 1 && IsReservedTopName(component, reserved)))
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace zefo
