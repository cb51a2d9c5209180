#include <winsock2.h>

#include <atomic>
#include <cstring>

#include "net/tcp_client.h"
#include "net/tcp_platform.h"

namespace zefo {

namespace {

std::atomic<bool> started{false};

SOCKET Socket(const ServerConnection& connection) {
    return static_cast<SOCKET>(connection.socket());
}

}  // namespace

ServerConnection::~ServerConnection() {
    closesocket(static_cast<SOCKET>(socket_));
}

bool NetworkStartup() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return false;
    started.store(true, std::memory_order_release);
    return true;
}

void NetworkShutdown() {
    if (started.exchange(false, std::memory_order_acq_rel))
        WSACleanup();
}

ConnectionPtr OpenConnectionBytes(const std::string& host, uint16_t port) {
    if (host.empty() || host.find('\0') != std::string::npos)
        return nullptr;
    SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET)
        return nullptr;
    auto connection = std::make_unique<ServerConnection>(static_cast<uintptr_t>(handle));

    unsigned long address = inet_addr(host.c_str());
    if (address == INADDR_NONE) {
        // Winsock keeps the answer per thread, so concurrent lookups do not mix.
        hostent* entry = gethostbyname(host.c_str());
        if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list ||
            !entry->h_addr_list[0])
            return nullptr;
        in_addr first{};
        memcpy(&first, entry->h_addr_list[0], sizeof first);
        address = first.s_addr;
        if (address == INADDR_NONE)
            return nullptr;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    if (connect(handle, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
        return nullptr;
    return connection;
}

int SendBytes(ServerConnection& connection, const void* bytes, int length) {
    if (length < 0)
        return -1;
    int sent = send(Socket(connection), static_cast<const char*>(bytes), length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int BytesWaiting(ServerConnection& connection) {
    u_long waiting = 0;
    if (ioctlsocket(Socket(connection), FIONREAD, &waiting) != 0)
        return 0;
    return waiting > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(waiting);
}

int ReceiveBytes(ServerConnection& connection, void* buffer, int capacity) {
    if (capacity < 0)
        return -1;
    int received = recv(Socket(connection), static_cast<char*>(buffer), capacity, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

int ReceiveWaiting(ServerConnection& connection, void* buffer, int capacity) {
    if (capacity < 0)
        return -1;
    u_long waiting = 0;
    if (ioctlsocket(Socket(connection), FIONREAD, &waiting) != 0)
        return -1;
    // Readable with nothing waiting means the peer closed or the connection failed;
    // the receive then reports which without blocking.
    if (waiting == 0 && !detail::PlatformWaitReadable(connection.socket(), 0))
        return kReceiveNothing;
    return ReceiveBytes(connection, buffer, capacity);
}

namespace detail {

bool PlatformWaitReadable(uintptr_t socket, uint32_t milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval limit{};
    limit.tv_sec = static_cast<long>(milliseconds / 1000);
    limit.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
    return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

}  // namespace detail

}  // namespace zefo
