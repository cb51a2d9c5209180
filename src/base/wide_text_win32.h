// UTF-8 texts to and from the UTF-16 of the Windows API (the W functions).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zefo {

// Invalid sequences become U+FFFD, as the system converter does. Empty for an empty
// text and for one too long for the API (over INT_MAX units).
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

// For names that must not change silently (a path that named another file once
// converted): nullopt when the text is not valid UTF-8 (UTF-16) or too long; an
// empty text gives an empty result.
std::optional<std::wstring> WidenExact(std::string_view text);
std::optional<std::string> NarrowExact(std::wstring_view text);

}  // namespace zefo
