#include "support/ini_text.h"

#include <algorithm>

#include "base/utf8.h"

namespace zefo {

namespace {

constexpr std::string_view kMark = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Each byte one ISO 8859-1 character, as UTF-8.
std::string Latin1ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 8);
    for (char c : bytes)
        AppendUtf8(text, static_cast<unsigned char>(c));
    return text;
}

std::vector<IniLine> ParseContent(std::string_view content) {
    // The content ends at its first zero byte.
    content = content.substr(0, content.find('\0'));
    std::vector<IniLine> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        size_t first = 0;
        while (first < line.size() && IsBlank(line[first]))
            ++first;
        line.remove_prefix(first);

        if (!line.empty() && line[0] == ';') {
            line.remove_prefix(1);
            if (!line.empty() && line[0] == ' ')
                line.remove_prefix(1);
            lines.push_back({IniLine::Kind::Comment, std::string(line), {}});
        } else if (!line.empty() && line[0] == '[') {
            line.remove_prefix(1);
            lines.push_back({IniLine::Kind::Group, std::string(line.substr(0, line.find(']'))), {}});
        } else if (!line.empty()) {
            size_t equals = line.find('=');
            std::string_view key = line.substr(0, equals);
            while (!key.empty() && IsBlank(key.back()))
                key.remove_suffix(1);
            std::string_view value;
            if (equals != std::string_view::npos) {
                value = line.substr(equals + 1);
                while (!value.empty() && IsBlank(value.front()))
                    value.remove_prefix(1);
            }
            lines.push_back({IniLine::Kind::Key, std::string(key), std::string(value)});
        }

        pos = end;
        while (pos < content.size() && (content[pos] == '\r' || content[pos] == '\n'))
            ++pos;
    }
    return lines;
}

}  // namespace

std::vector<IniLine> ParseIniBytes(std::string_view bytes, bool& withMark) {
    if (bytes.substr(0, kMark.size()) == kMark) {
        withMark = true;
        return ParseContent(bytes.substr(kMark.size()));
    }
    // An empty file stays without the mark; any other is written back as UTF-8 with it.
    withMark = !bytes.empty();
    return ParseContent(Latin1ToUtf8(bytes));
}

std::string RenderIni(const std::vector<IniLine>& lines, bool withMark) {
    std::string out;
    for (const IniLine& line : lines) {
        switch (line.kind) {
            case IniLine::Kind::Group:
                out += "[" + line.name + "]";
                break;
            case IniLine::Kind::Comment:
                out += "; " + line.name;
                break;
            case IniLine::Kind::Key:
                out += line.name + " = " + line.value;
                break;
        }
        out += kLineEnd;
    }
    // Without the mark the file reads back as ISO 8859-1, which would change every
    // character beyond ASCII that a file empty at first was given.
    const bool beyondAscii =
        std::find_if(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) != out.end();
    if (withMark || beyondAscii)
        out.insert(0, std::string(kMark) + std::string(kLineEnd));
    return out;
}

std::string SingleLine(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != '\0')
            line += c;
    }
    return line;
}

}  // namespace zefo
