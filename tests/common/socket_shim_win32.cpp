#include <winsock2.h>

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
    Startup();
    SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET)
        return kInvalid;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(handle, 16) != 0 ||
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(handle);
        return kInvalid;
    }
    port = ntohs(address.sin_port);
    return static_cast<Socket>(handle);
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
