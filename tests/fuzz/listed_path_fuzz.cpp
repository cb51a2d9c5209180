// The check of listed paths. Every path it accepts, joined to the game folder and
// resolved by Windows' rules ("\" and "/" separators, drives, shares, devices,
// trailing dots and blanks dropped) and by POSIX' rules (as given, and with "\" as
// "/" as the program opens it), names something below the folder, and the same
// thing under both.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/listed_path.h"
#include "base/path.h"
#include "fuzz_check.h"

namespace {

enum class Rules { Windows, Posix };

// Folders deeper than this are refused.
constexpr size_t kMaxDepth = 128;

// Names a program keeps for itself: they only ever narrow what is accepted.
constexpr std::string_view kOwnTopNames[] = {"Own.bat"};
constexpr zefo::ReservedNames kOwnNames{kOwnTopNames, ".owntmp"};

// Windows opens a device for these names in any folder, with any extension and
// blanks before it: "nul", "Com3.txt", "AUX .log", "LPT\xC2\xB9".
bool WindowsDevice(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (zefo::EqualsNoCase(stem, device))
            return true;
    }
    for (std::string_view port : {"COM", "LPT"}) {
        if (stem.size() < 4 || !zefo::EqualsNoCase(stem.substr(0, 3), port))
            continue;
        std::string_view number = stem.substr(3);
        if ((number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
            number == "\xC2\xB2" || number == "\xC2\xB3")
            return true;
    }
    return false;
}

// The components below the folder that `path` names, joined to it and resolved, or
// nothing when it names the folder itself or anything outside it.
std::optional<std::vector<std::string>> Resolve(std::string_view path, Rules rules) {
    const bool windows = rules == Rules::Windows;
    auto separator = [windows](char c) { return c == '/' || (windows && c == '\\'); };
    if (path.empty() || separator(path[0]))
        return std::nullopt;  // rooted: "/x", "\x", "\\server\share", "\\?\C:\x"
    if (windows && path.find(':') != std::string_view::npos)
        return std::nullopt;  // a drive ("C:x" is relative to C:'s own folder) or a stream ("a:b")
    std::vector<std::string> below;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !separator(path[end]))
            ++end;
        std::string component(path.substr(start, end - start));
        start = end + 1;
        if (windows) {
            // Windows drops trailing dots and blanks: ".. " and "..." may go up.
            const bool dotsOnly = !component.empty() && component.find_first_not_of('.') == std::string::npos;
            while (!component.empty() && (component.back() == '.' || component.back() == ' '))
                component.pop_back();
            if (dotsOnly && component.empty())
                component = "..";
            if (WindowsDevice(component))
                return std::nullopt;
        }
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            if (below.empty())
                return std::nullopt;
            below.pop_back();
            continue;
        }
        below.push_back(component);
    }
    if (below.empty())
        return std::nullopt;
    return below;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    if (!zefo::IsSafeRelativePath(path, kOwnNames))
        return 0;
    const auto windows = Resolve(path, Rules::Windows);
    FUZZ_CHECK(windows.has_value());
    FUZZ_CHECK(windows->size() <= kMaxDepth);
    FUZZ_CHECK(Resolve(path, Rules::Posix).has_value());
    const auto posix = Resolve(zefo::NativePath(path), Rules::Posix);
    FUZZ_CHECK(posix.has_value());
    FUZZ_CHECK(*posix == *windows);
    // Nothing of it was dropped or went up: it names exactly its own components.
    FUZZ_CHECK(path.size() == [&] {
        size_t length = windows->size() - 1;
        for (const std::string& component : *windows)
            length += component.size();
        return length;
    }());
    return 0;
}
