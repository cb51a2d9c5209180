#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "base/native_file.h"
#include "net/tcp_client.h"
#include "net/text_ops.h"
#include "serve/serve.h"

namespace fs = std::filesystem;

namespace zefo::tools {

namespace {

constexpr size_t kMaxRequestHead = 8192;

std::mutex logMutex;

int Descriptor(const ServerConnection& socket) {
    return static_cast<int>(socket.socket());
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 416:
            return "Range Not Satisfiable";
        case 431:
            return "Request Header Fields Too Large";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Internal Server Error";
    }
}

const char* ContentType(const std::string& file) {
    std::string extension = LowerAsciiText(fs::path(file).extension().string());
    if (extension == ".html" || extension == ".htm")
        return "text/html";
    if (extension == ".txt" || extension == ".cfg" || extension == ".ini")
        return "text/plain";
    return "application/octet-stream";
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// `extra`: further header lines, each ended by CR LF.
std::string Header(int status, const char* type, long long length, const std::string& extra = {}) {
    return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "Connection: close\r\n\r\n";
}

// Printable, bounded copy of the request line for the log.
std::string ForLog(const std::string& line) {
    std::string text = line.substr(0, 200);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = '?';
    return line.size() > 200 ? text + "..." : text;
}

// Reads the request head within the time limit; the status when it cannot (0: nothing to answer).
int ReadHead(int fd, int timeoutSeconds, std::string& head) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char block[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > kMaxRequestHead)
            return 431;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return head.empty() ? 0 : 408;
        pollfd wait{fd, POLLIN, 0};
        int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return head.empty() ? 0 : 408;
        ssize_t n = ::recv(fd, block, sizeof block, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return head.empty() ? 0 : 400;
        head.append(block, static_cast<size_t>(n));
    }
    return std::min(head.find("\r\n\r\n"), head.find("\n\n")) > kMaxRequestHead ? 431 : 200;
}

void HandleConnection(const ServerConnection& connection,
                      const std::string& root,
                      int timeoutSeconds,
                      const std::string& peer,
                      std::ostream& log) {
    const int client = Descriptor(connection);
    timeval limit{timeoutSeconds, 0};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

    std::string head;
    int status = ReadHead(client, timeoutSeconds, head);
    if (status == 0)
        return;
    std::string line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    RequestLine request;
    Resolved resolved;
    if (status == 200) {
        if (!ParseRequestLine(line, request))
            status = 400;
        else if (request.version != "HTTP/1.0" && request.version != "HTTP/1.1")
            status = 505;
        else if (request.method != "GET" && request.method != "HEAD")
            status = 405;
        else
            status = (resolved = ResolveTarget(root, request.target)).status;
    }

    long long sent = 0;
    NativeFile file;
    struct stat info {};
    if (status == 200) {
        file = NativeFile(::open(resolved.file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.valid() || ::fstat(static_cast<int>(file.get()), &info) != 0)
            status = 404;
    }
    const std::string size = std::to_string(static_cast<long long>(info.st_size));
    RangeAnswer range;
    range.length = static_cast<uint64_t>(info.st_size);
    if (status == 200) {
        // One Range header is answered; several, like several ranges in one, get the whole file.
        const std::vector<std::string> ranges = HeaderValues(head, "Range");
        if (ranges.size() == 1) {
            const RangeAnswer asked = AnswerRange(ranges[0], static_cast<uint64_t>(info.st_size));
            if (asked.status != 200)
                range = asked;
        }
        if (range.status == 206 && !SeekFile(file, static_cast<int64_t>(range.first)))
            range.status = 500;
        status = range.status;
    }
    if (status == 200 || status == 206) {
        std::string extra = "Accept-Ranges: bytes\r\n";
        if (status == 206)
            extra += "Content-Range: bytes " + std::to_string(range.first) + "-" +
                     std::to_string(range.first + range.length - 1) + "/" + size + "\r\n";
        std::string header = Header(status, ContentType(resolved.file), static_cast<long long>(range.length), extra);
        bool ok = SendAll(client, header.data(), header.size());
        if (ok && request.method == "GET") {
            std::vector<char> block(64 * 1024);
            uint64_t left = range.length;
            while (left > 0) {
                int64_t n =
                    ReadFromFile(file, block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), left)));
                if (n <= 0 || !SendAll(client, block.data(), static_cast<size_t>(n)))
                    break;
                sent += n;
                left -= static_cast<uint64_t>(n);
            }
        }
    } else {
        // A missing folder is answered like an update server answers an unknown game,
        // so that the client reports that instead of waiting for its time-out.
        std::string body = status == 404 && resolved.folderRequest
                               ? ListBlockText({"error:ERR_GAME"})
                               : std::to_string(status) + " " + ReasonPhrase(status) + "\n";
        std::string reply = Header(status, "text/plain", static_cast<long long>(body.size()),
                                   status == 416 ? "Content-Range: bytes */" + size + "\r\n" : std::string());
        if (request.method != "HEAD")
            reply += body;
        if (SendAll(client, reply.data(), reply.size()) && request.method != "HEAD")
            sent = static_cast<long long>(body.size());
    }
    {
        std::lock_guard<std::mutex> lock(logMutex);
        log << peer << " \"" << ForLog(line) << "\" " << status << " " << sent << std::endl;
    }
    // Close gently: end our side and let the client finish reading before the socket goes,
    // so that unread request bytes do not turn the close into a reset that loses the reply.
    ::shutdown(client, SHUT_WR);
    char drain[512];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{client, POLLIN, 0};
        if (::poll(&wait, 1, 200) <= 0)
            continue;
        if (::recv(client, drain, sizeof drain, 0) <= 0)
            break;
    }
}

}  // namespace

int RunServer(const ServeOptions& options, std::ostream& log) {
    std::signal(SIGPIPE, SIG_IGN);
    std::error_code error;
    const std::string root = fs::canonical(options.root, error).string();
    if (error || !fs::is_directory(root, error)) {
        log << "zefo_serve: " << options.root << ": not a folder" << std::endl;
        return 1;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (::inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1) {
        log << "zefo_serve: " << options.bind << ": not an IPv4 address" << std::endl;
        return 1;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        log << "zefo_serve: cannot open a socket: " << std::strerror(errno) << std::endl;
        return 1;
    }
    const ServerConnection owner(static_cast<uintptr_t>(listener));
    int yes = 1;
    if (::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
        log << "zefo_serve: cannot listen on " << options.bind << ":" << options.port << ": " << std::strerror(errno)
            << std::endl;
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    {
        std::lock_guard<std::mutex> lock(logMutex);
        log << "zefo_serve: serving " << root << " on http://" << options.bind << ":" << ntohs(address.sin_port) << "/"
            << std::endl;
    }

    static std::atomic<int> active{0};
    for (;;) {
        sockaddr_in peerAddress{};
        socklen_t peerLength = sizeof peerAddress;
        const int accepted = ::accept4(listener, reinterpret_cast<sockaddr*>(&peerAddress), &peerLength, SOCK_CLOEXEC);
        if (accepted < 0) {
            if (errno != EINTR)  // out of descriptors or similar: give the running requests time to end
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        auto client = std::make_unique<ServerConnection>(static_cast<uintptr_t>(accepted));
        if (active.load(std::memory_order_acquire) >= options.maxClients)
            continue;
        char peerText[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &peerAddress.sin_addr, peerText, sizeof peerText);
        active.fetch_add(1, std::memory_order_acq_rel);
        try {
            std::thread([client = std::move(client), root, timeout = options.timeoutSeconds,
                         peer = std::string(peerText), &log] {
                try {
                    HandleConnection(*client, root, timeout, peer, log);
                } catch (...) {
                }
                active.fetch_sub(1, std::memory_order_acq_rel);
            }).detach();
        } catch (...) {  // no thread to be had: the connection was dropped with the call
            active.fetch_sub(1, std::memory_order_acq_rel);
        }
    }
}

}  // namespace zefo::tools
