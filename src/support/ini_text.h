// The text of settings files, without the files: the lines a file's bytes hold and
// the bytes a list of lines is written back as. ini_file.cpp reads and writes the
// files with these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zefo {

struct IniLine {
    enum class Kind { Group, Comment, Key };
    Kind kind;
    std::string name;   // group name, comment text or key
    std::string value;  // key lines only

    bool operator==(const IniLine&) const = default;
};

// The lines of a file's bytes: after a UTF-8 byte-order mark the bytes are UTF-8,
// without one each byte is an ISO 8859-1 character. `withMark` tells whether the
// file is written back with the mark (every file that is not empty).
std::vector<IniLine> ParseIniBytes(std::string_view bytes, bool& withMark);

// The bytes of a file of `lines`: the mark and an empty line first when `withMark`
// or when the text goes beyond ASCII, then each line ended by CR LF.
std::string RenderIni(const std::vector<IniLine>& lines, bool withMark);

// The text with line breaks and zero bytes dropped, so that a written key or value
// stays on its line.
std::string SingleLine(std::string_view text);

}  // namespace zefo
