#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <ws2tcpip.h>

#include <mutex>

#include "common/socket_shim.h"

namespace zefo::test::shim {

namespace {

SOCKET Native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

}  // namespace

void Startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

Socket ListenLoopback(uint16_t& port) {
    return ListenLoopbackFamily(false, port, 16);
}

namespace {

int LoopbackAddress(bool ipv6, uint16_t port, sockaddr_storage& storage) {
    storage = {};
    if (ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(port);
        return sizeof *v6;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(port);
    return sizeof *v4;
}

}  // namespace

Socket ListenLoopbackFamily(bool ipv6, uint16_t& port, int backlog) {
    Startup();
    SOCKET handle = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET)
        return kInvalid;
    sockaddr_storage address;
    int length = LoopbackAddress(ipv6, port, address);
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(handle, backlog) != 0 ||
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(handle);
        return kInvalid;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return static_cast<Socket>(handle);
}

std::vector<Socket> FillBacklog(bool ipv6, uint16_t port) {
    Startup();
    std::vector<Socket> fillers;
    for (int i = 0; i < 64; ++i) {
        SOCKET handle = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        if (handle == INVALID_SOCKET)
            break;
        fillers.push_back(static_cast<Socket>(handle));
        u_long nonBlocking = 1;
        ioctlsocket(handle, FIONBIO, &nonBlocking);
        sockaddr_storage address;
        int length = LoopbackAddress(ipv6, port, address);
        if (connect(handle, reinterpret_cast<sockaddr*>(&address), length) == 0)
            continue;
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            break;
        // A connect the listener does not answer within 200 ms found the queue full.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(handle, &writable);
        FD_SET(handle, &failed);
        timeval limit{0, 200 * 1000};
        if (select(0, nullptr, &writable, &failed, &limit) == 0)
            return fillers;
    }
    for (Socket filler : fillers)
        closesocket(Native(filler));
    return {};
}

Socket AcceptWithin(Socket listener, int milliseconds) {
    if (WaitReadable(listener, milliseconds) != 1)
        return kInvalid;
    SOCKET handle = accept(Native(listener), nullptr, nullptr);
    return handle == INVALID_SOCKET ? kInvalid : static_cast<Socket>(handle);
}

int WaitReadable(Socket socket, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(socket), &readable);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &limit);
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

int Receive(Socket socket, char* buffer, int capacity) {
    int received = recv(Native(socket), buffer, capacity, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

bool SendAll(Socket socket, const char* bytes, size_t length) {
    while (length > 0) {
        int chunk = length > 65536 ? 65536 : static_cast<int>(length);
        int sent = send(Native(socket), bytes, chunk, 0);
        if (sent == SOCKET_ERROR || sent == 0)
            return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void ShutdownSend(Socket socket) {
    shutdown(Native(socket), SD_SEND);
}

void Abort(Socket socket) {
    linger option{1, 0};
    setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
    closesocket(Native(socket));
}

void Close(Socket socket) {
    closesocket(Native(socket));
}

}  // namespace zefo::test::shim
