#include "base/ascii.h"
#include "serve/serve.h"

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

}  // namespace zefo::tools
