#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/socket_shim.h"

namespace zefo::test::shim {

void Startup() {}

Socket ListenLoopback(uint16_t& port) {
    return ListenLoopbackFamily(false, port, 16);
}

namespace {

socklen_t LoopbackAddress(bool ipv6, uint16_t port, sockaddr_storage& storage) {
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
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kInvalid;
    int reuse = 1;  // a fixed port may still be in TIME_WAIT from an earlier run
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_storage address;
    socklen_t length = LoopbackAddress(ipv6, port, address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return kInvalid;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return fd;
}

std::vector<Socket> FillBacklog(bool ipv6, uint16_t port) {
    std::vector<Socket> fillers;
    for (int i = 0; i < 64; ++i) {
        int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        fillers.push_back(fd);
        sockaddr_storage address;
        socklen_t length = LoopbackAddress(ipv6, port, address);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0)
            continue;
        if (errno != EINPROGRESS)
            break;
        // A connect the listener does not answer within 200 ms found the queue full.
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, 200) == 0)
            return fillers;
    }
    for (Socket filler : fillers)
        close(static_cast<int>(filler));
    return {};
}

Socket AcceptWithin(Socket listener, int milliseconds) {
    if (WaitReadable(listener, milliseconds) != 1)
        return kInvalid;
    int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kInvalid : fd;
}

int WaitReadable(Socket socket, int milliseconds) {
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

int Receive(Socket socket, char* buffer, int capacity) {
    ssize_t received;
    do {
        received = recv(static_cast<int>(socket), buffer, static_cast<size_t>(capacity), 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<int>(received);
}

bool SendAll(Socket socket, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t sent = send(static_cast<int>(socket), bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void ShutdownSend(Socket socket) {
    shutdown(static_cast<int>(socket), SHUT_WR);
}

void Abort(Socket socket) {
    linger option{1, 0};
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close(static_cast<int>(socket));
}

void Close(Socket socket) {
    close(static_cast<int>(socket));
}

}  // namespace zefo::test::shim
