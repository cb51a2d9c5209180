// UTF-8 reading and writing shared by every module that handles texts byte by byte,
// and the Windows-1252 code page the POSIX build uses where Windows has its own converter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zefo {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the character at `pos` and moves past it. An invalid or cut-off sequence
// (overlong form, surrogate, beyond U+10FFFF) gives U+FFFD and moves one byte on.
char32_t NextCodePoint(std::string_view text, size_t& pos);
// As above; `valid` is set to false when a sequence was replaced (and left alone otherwise),
// which tells a replaced byte from a U+FFFD the text really holds.
char32_t NextCodePoint(std::string_view text, size_t& pos, bool& valid);
void AppendUtf8(std::string& text, char32_t codePoint);
// The bytes as valid UTF-8: unchanged when they already are, else with U+FFFD for each bad byte.
std::string ValidUtf8(std::string bytes);

// Windows-1252 byte to code point; the five bytes it leaves undefined map to the C1
// controls of the same value, as the Windows converter does.
char32_t Windows1252ToCodePoint(unsigned char byte);
// The Windows-1252 byte of a code point, or '?' (the converter's default) when it has none.
char CodePointToWindows1252(char32_t codePoint);

}  // namespace zefo
