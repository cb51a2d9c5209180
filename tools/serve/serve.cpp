#include "serve/serve.h"
#include "base/ascii.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace zefo::tools {

bool ParseRequestLine(const std::string& line, RequestLine& out) {
    // The target is everything between the first and the last blank, so that an
    // unencoded blank in a folder name still reaches the right folder.
    size_t first = line.find(' ');
    size_t last = line.rfind(' ');
    if (first == std::string::npos || first == last || first == 0)
        return false;
    out.method = line.substr(0, first);
    out.target = line.substr(first + 1, last - first - 1);
    out.version = line.substr(last + 1);
    if (out.target.empty() || out.version.compare(0, 5, "HTTP/") != 0)
        return false;
    return std::all_of(out.method.begin(), out.method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

bool PercentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            int high = HexDigitValue(text[i + 1]);
            int low = high < 0 ? -1 : HexDigitValue(text[i + 2]);
            if (low < 0)
                return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0')
            return false;
        out += c;
    }
    return true;
}

Resolved ResolveTarget(const std::string& root, const std::string& target) {
    Resolved result;
    std::string path = target.substr(0, target.find_first_of("?#"));
    std::string decoded;
    if (path.empty() || path[0] != '/' || !PercentDecode(path, decoded) || decoded.find('\\') != std::string::npos) {
        result.status = 400;
        return result;
    }
    result.folderRequest = decoded.back() == '/';
    std::string full = root;
    size_t start = 1;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos)
            end = decoded.size();
        std::string segment = decoded.substr(start, end - start);
        start = end + 1;
        if (segment.empty() || segment == ".")
            continue;
        if (segment == "..") {
            result.status = 403;
            return result;
        }
        full += "/" + segment;
    }
    std::error_code error;
    fs::file_status status = fs::status(full, error);
    if (fs::is_directory(status)) {
        result.folderRequest = true;
        full += "/index.html";
        status = fs::status(full, error);
    }
    if (!fs::is_regular_file(status)) {
        result.status = 404;
        return result;
    }
    // Symbolic links inside the root must not lead out of it.
    const std::string real = fs::canonical(full, error).string();
    if (error) {
        result.status = 404;
        return result;
    }
    const std::string prefix = root.back() == '/' ? root : root + "/";
    if (real.compare(0, prefix.size(), prefix) != 0) {
        result.status = 403;
        return result;
    }
    result.status = 200;
    result.file = real;
    return result;
}

std::vector<std::string> HeaderValues(const std::string& head, const std::string& name) {
    std::vector<std::string> values;
    const std::string wanted = LowerAsciiText(name);
    size_t start = head.find('\n');  // after the request line
    while (start != std::string::npos && start + 1 < head.size()) {
        const size_t end = head.find('\n', start + 1);
        std::string line = head.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        start = end;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;  // the end of the head
        const size_t colon = line.find(':');
        if (colon == std::string::npos || LowerAsciiText(line.substr(0, colon)) != wanted)
            continue;
        const size_t first = line.find_first_not_of(" \t", colon + 1);
        const size_t last = line.find_last_not_of(" \t");
        values.push_back(first == std::string::npos ? std::string() : line.substr(first, last - first + 1));
    }
    return values;
}

namespace {

// Reads the digits of `text` from `at` on into `value`; false, with `value` as it was,
// when there are none. Values too large for 64 bits stay at the largest.
bool ReadNumber(const std::string& text, size_t& at, uint64_t& value) {
    const size_t start = at;
    uint64_t read = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        read = read > (UINT64_MAX - digit) / 10 ? UINT64_MAX : read * 10 + digit;
    }
    if (at == start)
        return false;
    value = read;
    return true;
}

}  // namespace

RangeAnswer AnswerRange(const std::string& value, uint64_t size) {
    RangeAnswer whole;
    if (LowerAsciiText(value.substr(0, 6)) != "bytes=" || value.find(',') != std::string::npos)
        return whole;
    const size_t from = value.find_first_not_of(" \t", 6);
    if (from == std::string::npos)
        return whole;
    size_t at = from;
    uint64_t first = 0, last = UINT64_MAX;
    const bool haveFirst = ReadNumber(value, at, first);
    if (at >= value.size() || value[at] != '-')
        return whole;
    ++at;
    const bool haveLast = ReadNumber(value, at, last);
    if (at != value.size() || (!haveFirst && !haveLast) || (haveFirst && haveLast && last < first))
        return whole;
    RangeAnswer answer;
    answer.status = 416;
    if (!haveFirst) {  // the last `last` bytes
        if (last == 0 || size == 0)
            return answer;
        first = last >= size ? 0 : size - last;
        last = size - 1;
    } else if (first >= size) {
        return answer;
    }
    answer.status = 206;
    answer.first = first;
    answer.length = std::min(last, size - 1) - first + 1;
    return answer;
}

}  // namespace zefo::tools
