#include "net/text_ops.h"

namespace zefo {

int64_t FindText(std::string_view text, std::string_view pattern, int64_t start) {
    if (text.empty() || pattern.empty())
        return 0;
    if (start < 1)
        start = 1;
    if (start > static_cast<int64_t>(text.size()))
        return 0;
    size_t found = text.find(pattern, static_cast<size_t>(start - 1));
    return found == std::string_view::npos ? 0 : static_cast<int64_t>(found) + 1;
}

int64_t CountText(std::string_view text, std::string_view pattern) {
    if (text.empty() || pattern.empty())
        return 0;
    int64_t count = 0;
    for (size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, at + pattern.size()))
        ++count;
    return count;
}

std::string TextField(std::string_view text, int64_t index, std::string_view separator) {
    if (index < 1)
        return {};
    if (separator.empty())
        return index == 1 ? std::string(text) : std::string();
    char mark = separator.front();
    size_t begin = 0;
    for (int64_t field = 1; field < index; ++field) {
        size_t next = text.find(mark, begin);
        if (next == std::string_view::npos)
            return {};
        begin = next + 1;
    }
    size_t end = text.find(mark, begin);
    return std::string(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
}

std::string MidText(std::string_view text, int64_t start, int64_t length) {
    if (length < 0)
        length = 0;
    if (start < 1)
        start = 1;
    if (start > static_cast<int64_t>(text.size()))
        return {};
    return std::string(text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(length)));
}

std::string TextBetween(std::string_view text, std::string_view open, std::string_view close) {
    int64_t a = FindText(text, open, 1);
    int64_t b = FindText(text, close, a);
    int64_t openLength = static_cast<int64_t>(open.size());
    return MidText(text, a + openLength, b - a - openLength);
}

void ForEachRecord(std::string_view block,
                   const std::function<void(std::string_view field1, std::string_view field2)>& visit) {
    // One pass over the block: a list of many thousand records must not be
    // re-scanned from its start for every record.
    size_t begin = 0;
    while (begin <= block.size()) {
        size_t end = block.find('|', begin);
        if (end == std::string_view::npos)
            end = block.size();
        std::string_view record = block.substr(begin, end - begin);
        if (!record.empty()) {
            size_t first = record.find(':');
            if (first == std::string_view::npos) {
                visit(record, {});
            } else {
                std::string_view rest = record.substr(first + 1);
                visit(record.substr(0, first), rest.substr(0, rest.find(':')));
            }
        }
        begin = end + 1;
    }
}

std::string ListBlockText(const std::vector<std::string>& records) {
    std::string text = "[data]";
    for (size_t i = 0; i < records.size(); ++i) {
        if (i != 0)
            text += '|';
        text += records[i];
    }
    return text + "[/data]";
}

size_t CountRecords(std::string_view block) {
    size_t count = 0;
    size_t begin = 0;
    while (begin <= block.size()) {
        size_t end = block.find('|', begin);
        if (end == std::string_view::npos)
            end = block.size();
        if (end > begin)
            ++count;
        begin = end + 1;
    }
    return count;
}

bool HasControlCharacters(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

}  // namespace zefo
