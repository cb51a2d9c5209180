// plain_fetch: the least a Windows program does to fetch files one after another, as
// curl does on one connection: for each path a GET on one kept-alive HTTP/1.1
// connection, the body read by its Content-Length, and the file created, written and
// closed. No checks, no temporary name, no window. Under Wine it shows what Wine
// itself costs per file, beside the program's own figures (bench_update_window.sh).
//
//   plain_fetch PORT PREFIX PATHS OUTDIR
//
// PATHS holds one path a line (below http://127.0.0.1:PORT/PREFIX/); files go below
// OUTDIR, folders made as needed. Prints the seconds from the first request to the
// last file closed. Exit code 0 when every file arrived, 1 otherwise.
// winsock2.h goes before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(length > 0 ? length : 0));
    return wide;
}

// Makes every folder of `path` below `base` (both with backslashes).
void MakeFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
}

bool SendAll(SOCKET socket, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const int now = send(socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (now <= 0)
            return false;
        sent += static_cast<size_t>(now);
    }
    return true;
}

// One reply: the body of a 200 with a Content-Length. `pending` keeps what arrived
// beyond it (nothing, as requests go one at a time).
bool ReadReply(SOCKET socket, std::string& pending, std::string& body) {
    size_t headEnd;
    char buffer[65536];
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        const int got = recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0 || pending.size() > 65536)
            return false;
        pending.append(buffer, static_cast<size_t>(got));
    }
    const std::string head = pending.substr(0, headEnd);
    const size_t field = head.find("Content-Length:");
    if (head.size() < 12 || head.compare(9, 3, "200") != 0 || field == std::string::npos)
        return false;
    const size_t length = std::strtoull(head.c_str() + field + 15, nullptr, 10);
    pending.erase(0, headEnd + 4);
    while (pending.size() < length) {
        const int got = recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(got));
    }
    body = pending.substr(0, length);
    pending.erase(0, length);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: plain_fetch PORT PREFIX PATHS OUTDIR\n");
        return 2;
    }
    std::vector<std::string> paths;
    std::ifstream list(argv[3]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            paths.push_back(line);
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (socket == INVALID_SOCKET || connect(socket, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
        return 1;
    const std::wstring outdir = Wide(argv[4]);
    std::wstring folder;
    std::string pending, body;
    int failed = 0;
    for (const std::string& path : paths) {
        const std::string request =
            "GET /" + std::string(argv[2]) + "/" + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (!SendAll(socket, request) || !ReadReply(socket, pending, body))
            return 1;
        std::wstring target = outdir + L"\\" + Wide(path);
        for (wchar_t& c : target)
            c = c == L'/' ? L'\\' : c;
        const std::wstring parent = target.substr(0, target.rfind(L'\\'));
        if (parent != folder) {
            MakeFolders(target);
            folder = parent;
        }
        HANDLE file =
            CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (file == INVALID_HANDLE_VALUE ||
            !WriteFile(file, body.data(), static_cast<DWORD>(body.size()), &written, nullptr) || written != body.size())
            ++failed;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    QueryPerformanceCounter(&end);
    closesocket(socket);
    std::printf("%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    return failed == 0 ? 0 : 1;
}
