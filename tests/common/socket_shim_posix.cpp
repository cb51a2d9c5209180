#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/socket_shim.h"

namespace zefo::test::shim {

void Startup() {}

Socket ListenLoopback(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kInvalid;
    int reuse = 1;  // a fixed port may still be in TIME_WAIT from an earlier run
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return kInvalid;
    }
    port = ntohs(address.sin_port);
    return fd;
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
