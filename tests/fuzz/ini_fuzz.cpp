// Settings files. Any bytes parse into lines that are written back as a file that
// parses into the same lines (groups, keys, values, comments, in order). Written
// through the real files: a value written to a key reads back, and every other key
// keeps its value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "fuzz_check.h"
#include "fuzz_files.h"
#include "support/ini_file.h"
#include "support/ini_text.h"

namespace {

using zefo::IniLine;

struct Entry {
    std::string group;
    std::string key;
    std::string value;  // as IniReadString gives it
};

std::string Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return std::string(text);
}

// Every key of the lines with its group, and its value as the file at `path` gives it.
std::vector<Entry> ReadEntries(const std::string& path, const std::vector<IniLine>& lines) {
    std::vector<Entry> entries;
    std::string group;
    for (const IniLine& line : lines) {
        if (line.kind == IniLine::Kind::Group)
            group = line.name;
        else if (line.kind == IniLine::Kind::Key)
            entries.push_back({group, line.name, {}});
    }
    zefo::IniOpen(path);
    for (Entry& entry : entries) {
        zefo::IniSelectGroup(entry.group);
        entry.value = zefo::IniReadString(entry.key, "\n(missing)");
    }
    zefo::IniClose();
    return entries;
}

size_t CountKind(const std::vector<IniLine>& lines, IniLine::Kind kind) {
    size_t count = 0;
    for (const IniLine& line : lines)
        count += line.kind == kind ? 1 : 0;
    return count;
}

std::vector<IniLine> CommentsOf(const std::vector<IniLine>& lines) {
    std::vector<IniLine> comments;
    for (const IniLine& line : lines) {
        if (line.kind == IniLine::Kind::Comment)
            comments.push_back(line);
    }
    return comments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Parse, write back, parse again.
    bool withMark = false;
    const std::vector<IniLine> lines = zefo::ParseIniBytes(input, withMark);
    const std::string rendered = zefo::RenderIni(lines, withMark);
    bool markAgain = !withMark;
    const std::vector<IniLine> again = zefo::ParseIniBytes(rendered, markAgain);
    FUZZ_CHECK(markAgain == withMark);
    FUZZ_CHECK(again == lines);
    FUZZ_CHECK(zefo::RenderIni(again, markAgain) == rendered);

    // The first byte picks a key of the file (or a new one) and how many bytes after
    // it are the value to write; the rest is the file.
    if (input.empty())
        return 0;
    const auto choice = static_cast<uint8_t>(input[0]);
    const std::string_view value = input.substr(1, choice % 32);
    const std::string_view content = input.substr(1 + value.size());
    const std::string path = zefo::fuzz::TheFolder().File("settings.ini");
    zefo::fuzz::WriteBytes(path, content);
    bool mark = false;
    const std::vector<IniLine> before = zefo::ParseIniBytes(content, mark);
    const std::vector<Entry> entries = ReadEntries(path, before);
    Entry written{"Program", "lang", {}};
    if (!entries.empty() && choice >= 32)
        written = entries[(choice / 32 - 1) % entries.size()];

    FUZZ_CHECK(zefo::IniOpen(path));
    zefo::IniSelectGroup(written.group);
    zefo::IniWriteString(written.key, std::string(value));
    zefo::IniClose();

    const std::vector<IniLine> after = zefo::ParseIniBytes(zefo::fuzz::ReadBytes(path), mark);
    FUZZ_CHECK(mark);
    FUZZ_CHECK(CommentsOf(after) == CommentsOf(before));
    const size_t groupsAdded = CountKind(after, IniLine::Kind::Group) - CountKind(before, IniLine::Kind::Group);
    const size_t keysAdded = CountKind(after, IniLine::Kind::Key) - CountKind(before, IniLine::Kind::Key);
    FUZZ_CHECK(groupsAdded <= 1 && keysAdded <= 1 && (groupsAdded == 0 || keysAdded == 1));

    const std::vector<Entry> entriesAfter = ReadEntries(path, before);
    FUZZ_CHECK(entriesAfter.size() == entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool isWritten =
            zefo::EqualsNoCase(entries[i].key, written.key) && zefo::EqualsNoCase(entries[i].group, written.group);
        if (!isWritten)
            FUZZ_CHECK(entriesAfter[i].value == entries[i].value);
    }
    zefo::IniOpen(path);
    FUZZ_CHECK(zefo::IniSelectGroup(written.group));
    FUZZ_CHECK(zefo::IniReadString(written.key, "\n(missing)") == Trimmed(zefo::SingleLine(value)));
    zefo::IniClose();
    return 0;
}
