// zefo_serve's library: a small static file server for local runs of the update
// protocol. POSIX only (serve_posix.cpp holds the sockets). Nothing here throws.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zefo::tools {

struct RequestLine {
    std::string method;
    std::string target;  // may hold blanks: everything between the first and the last blank
    std::string version;
};

// Splits the first line of a request (without its line end); false when malformed.
bool ParseRequestLine(const std::string& line, RequestLine& out);
// Decodes %XX escapes; false on a broken escape or a decoded zero byte.
bool PercentDecode(const std::string& text, std::string& out);

// What a request target maps to below `root` (a canonical absolute folder).
struct Resolved {
    int status = 404;            // 200, 400, 403 or 404
    std::string file;            // the file to send when status is 200
    bool folderRequest = false;  // the target named a folder (ended in "/")
};
Resolved ResolveTarget(const std::string& root, const std::string& target);

// The values of every header line `name` (any letter case) in a request head, blanks
// around them dropped.
std::vector<std::string> HeaderValues(const std::string& head, const std::string& name);

// What to send of a file of `size` bytes for a Range header's value: 206 and the bytes
// [first, first + length) for one range ("bytes=A-B", "A-" or "-N", B past the end
// taken as the end), 416 for a range that starts at or past the end (or "-0"), and 200
// (the whole file) for anything else: another unit, a malformed range, several ranges.
struct RangeAnswer {
    int status = 200;
    uint64_t first = 0;
    uint64_t length = 0;
};
RangeAnswer AnswerRange(const std::string& value, uint64_t size);

struct ServeOptions {
    std::string root;
    std::string bind = "127.0.0.1";
    uint16_t port = 0;    // 0: any free port (the first output line names it)
    int maxClients = 64;  // further connections are closed at once
    int timeoutSeconds = 10;
};

// Listens and serves until the process ends; one line per request on `log`.
// Returns non-zero (with a message on `log`) when it cannot start.
int RunServer(const ServeOptions& options, std::ostream& log);

}  // namespace zefo::tools
