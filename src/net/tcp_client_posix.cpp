#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "net/tcp_client.h"
#include "net/tcp_platform.h"

namespace zefo {

namespace {

int Fd(const ServerConnection& connection) {
    return static_cast<int>(connection.socket());
}

// The first IPv4 address of a name, or INADDR_NONE.
in_addr_t LookUp(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
        return INADDR_NONE;
    in_addr_t address = INADDR_NONE;
    if (result->ai_family == AF_INET && result->ai_addr)
        address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(result);
    return address;
}

// A connect interrupted by a signal goes on in the background; wait for its end.
bool FinishInterruptedConnect(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (poll(&entry, 1, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

ServerConnection::~ServerConnection() {
    close(static_cast<int>(socket_));
}

bool NetworkStartup() {
    return true;
}

void NetworkShutdown() {}

ConnectionPtr OpenConnectionBytes(const std::string& host, uint16_t port) {
    if (host.empty() || host.find('\0') != std::string::npos)
        return nullptr;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto connection = std::make_unique<ServerConnection>(static_cast<uintptr_t>(fd));

    in_addr_t address = inet_addr(host.c_str());
    if (address == INADDR_NONE) {
        address = LookUp(host);
        if (address == INADDR_NONE)
            return nullptr;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        if (errno != EINTR || !FinishInterruptedConnect(fd))
            return nullptr;
    }
    return connection;
}

int SendBytes(ServerConnection& connection, const void* bytes, int length) {
    if (length < 0)
        return -1;
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone must not end the process with SIGPIPE.
        ssize_t sent = send(Fd(connection), bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno != EINTR)
            return -1;
    }
}

int BytesWaiting(ServerConnection& connection) {
    int waiting = 0;
    if (ioctl(Fd(connection), FIONREAD, &waiting) != 0 || waiting < 0)
        return 0;
    return waiting;
}

int ReceiveBytes(ServerConnection& connection, void* buffer, int capacity) {
    if (capacity < 0)
        return -1;
    for (;;) {
        ssize_t received = recv(Fd(connection), buffer, static_cast<size_t>(capacity), 0);
        if (received >= 0)
            return static_cast<int>(received);
        if (errno != EINTR)
            return -1;
    }
}

int ReceiveWaiting(ServerConnection& connection, void* buffer, int capacity) {
    if (capacity < 0)
        return -1;
    for (;;) {
        ssize_t received = recv(Fd(connection), buffer, static_cast<size_t>(capacity), MSG_DONTWAIT);
        if (received >= 0)
            return static_cast<int>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kReceiveNothing;
        if (errno != EINTR)
            return -1;
    }
}

namespace detail {

bool PlatformWaitReadable(uintptr_t socket, uint32_t milliseconds) {
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    int timeout = milliseconds > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
    for (;;) {
        int ready = poll(&entry, 1, timeout);
        if (ready >= 0)
            return ready > 0;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace detail

}  // namespace zefo
