#include "publish/fingerprint_cache.h"

#include <charconv>
#include <vector>

#include "base/ascii.h"
#include "base/md5.h"

namespace zefo::tools {

namespace {

// Bumped whenever the text changes meaning, so that an old file is dropped, not misread.
constexpr std::string_view kHeader = "zefo-publish-fingerprints 1\n";
constexpr size_t kMaxLine = 8192;

std::string TextMd5(std::string_view text) {
    Md5 md5;
    md5.Update(text.data(), text.size());
    return md5.FinalHex();
}

std::string StampText(const FileStamp& stamp) {
    if (stamp.size < 0)
        return "-";
    return std::to_string(stamp.size) + ":" + std::to_string(stamp.modifiedNs) + ":" + std::to_string(stamp.device) +
           ":" + std::to_string(stamp.inode);
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Splits at `separator`; the pieces view `text`.
std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

bool ParseStamp(std::string_view text, FileStamp& stamp) {
    stamp = FileStamp();
    if (text == "-")
        return true;
    std::vector<std::string_view> parts = Split(text, ':');
    return parts.size() == 4 && ParseNumber(parts[0], stamp.size) && ParseNumber(parts[1], stamp.modifiedNs) &&
           ParseNumber(parts[2], stamp.device) && ParseNumber(parts[3], stamp.inode) && stamp.size >= 0;
}

bool ParseRecord(std::string_view line, FingerprintCache& files) {
    std::vector<std::string_view> fields = Split(line, '\t');
    if (fields.size() != 5 || fields[0].empty())
        return false;
    for (char c : fields[0])
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    CachedFile file;
    if (!IsLowerHexText(fields[1], 32) || !(fields[2] == "-" || IsLowerHexText(fields[2], 64)) ||
        !ParseStamp(fields[3], file.source) || !ParseStamp(fields[4], file.published))
        return false;
    file.md5 = fields[1];
    if (fields[2] != "-")
        file.sha256 = fields[2];
    return files.emplace(std::string(fields[0]), std::move(file)).second;
}

}  // namespace

std::string FingerprintCacheText(const std::string& sourceFolder, const FingerprintCache& files) {
    std::string text(kHeader);
    text += "source " + sourceFolder + "\n";
    for (const auto& [path, file] : files) {
        text += path + "\t" + file.md5 + "\t" + (file.sha256.empty() ? std::string("-") : file.sha256) + "\t" +
                StampText(file.source) + "\t" + StampText(file.published) + "\n";
    }
    // The digest of everything above: a file cut short or changed by hand fails it.
    text += "end " + std::to_string(files.size()) + " " + TextMd5(text) + "\n";
    return text;
}

bool ParseFingerprintCache(std::string_view text, const std::string& sourceFolder, FingerprintCache& files) {
    files.clear();
    if (text.size() > kMaxFingerprintCacheBytes || text.substr(0, kHeader.size()) != kHeader || text.back() != '\n')
        return false;
    // The last line is "end COUNT DIGEST".
    const size_t endLine = text.rfind('\n', text.size() - 2);
    if (endLine == std::string_view::npos)
        return false;
    const std::string_view body = text.substr(0, endLine + 1);
    std::vector<std::string_view> end = Split(text.substr(endLine + 1, text.size() - endLine - 2), ' ');
    size_t count = 0;
    if (end.size() != 3 || end[0] != "end" || !ParseNumber(end[1], count) || end[2] != TextMd5(body))
        return false;

    size_t start = kHeader.size();
    bool sourceSeen = false;
    while (start < body.size()) {
        const size_t stop = body.find('\n', start);
        const std::string_view line = body.substr(start, stop - start);
        start = stop + 1;
        if (line.size() > kMaxLine) {
            files.clear();
            return false;
        }
        if (!sourceSeen) {
            // A cache written for another source folder tells nothing about this one.
            if (line != "source " + sourceFolder)
                return false;
            sourceSeen = true;
        } else if (!ParseRecord(line, files)) {
            files.clear();
            return false;
        }
    }
    if (!sourceSeen || files.size() != count) {
        files.clear();
        return false;
    }
    return true;
}

}  // namespace zefo::tools
