#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "net/tcp_client.h"
#include "net/tcp_platform.h"

namespace zefo {

namespace {

int Fd(const ServerConnection& connection) {
    return static_cast<int>(connection.socket());
}

// The socket address of an endpoint, and its length.
socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& storage) {
    storage = {};
    if (endpoint.ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(endpoint.port);
        memcpy(&v6->sin6_addr, endpoint.address.data(), 16);
        v6->sin6_scope_id = endpoint.scope;
        return sizeof(sockaddr_in6);
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(endpoint.port);
    memcpy(&v4->sin_addr, endpoint.address.data(), 4);
    return sizeof(sockaddr_in);
}

bool FromSockaddr(const sockaddr* address, socklen_t length, uint16_t port, Endpoint& endpoint) {
    endpoint = {};
    endpoint.port = port;
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        endpoint.ipv6 = true;
        memcpy(endpoint.address.data(), &v6->sin6_addr, 16);
        endpoint.scope = v6->sin6_scope_id;
        return true;
    }
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        memcpy(endpoint.address.data(), &v4->sin_addr, 4);
        return true;
    }
    return false;
}

std::vector<Endpoint> Resolve(const std::string& host, uint16_t port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* result = nullptr;
    std::vector<Endpoint> endpoints;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
        return endpoints;
    for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
        Endpoint endpoint;
        if (entry->ai_addr && FromSockaddr(entry->ai_addr, entry->ai_addrlen, port, endpoint))
            endpoints.push_back(endpoint);
    }
    freeaddrinfo(result);
    return endpoints;
}

}  // namespace

ServerConnection::~ServerConnection() {
    close(static_cast<int>(socket_));
}

bool NetworkStartup() {
    return true;
}

void NetworkShutdown() {}

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

bool PlatformNumericEndpoint(const std::string& host, uint16_t port, Endpoint& endpoint) {
    std::vector<Endpoint> found = Resolve(host, port, AI_NUMERICHOST);
    if (found.empty())
        return false;
    endpoint = found.front();
    return true;
}

std::vector<Endpoint> PlatformLookUp(const std::string& host, uint16_t port) {
    return Resolve(host, port, 0);
}

AttemptState PlatformStartConnect(const Endpoint& endpoint, ConnectionPtr& connection) {
    sockaddr_storage target;
    socklen_t length = ToSockaddr(endpoint, target);
    int fd = socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return AttemptState::Failed;
    connection = std::make_unique<ServerConnection>(static_cast<uintptr_t>(fd));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), length) == 0)
        return AttemptState::Connected;
    // A connect interrupted by a signal goes on in the background, like one in progress.
    return errno == EINPROGRESS || errno == EINTR ? AttemptState::Pending : AttemptState::Failed;
}

void PlatformWaitConnects(const std::vector<ServerConnection*>& attempts,
                          uint32_t milliseconds,
                          std::vector<AttemptState>& states) {
    std::vector<pollfd> entries;
    for (ServerConnection* attempt : attempts)
        entries.push_back({Fd(*attempt), POLLOUT, 0});
    states.assign(attempts.size(), AttemptState::Pending);
    int timeout = milliseconds > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
    int ready = poll(entries.data(), entries.size(), timeout);
    // An interrupted wait ends early; the caller waits again for what is left.
    if (ready <= 0)
        return;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].revents == 0)
            continue;
        int error = 0;
        socklen_t length = sizeof error;
        bool failed = getsockopt(entries[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0 ||
                      (entries[i].revents & (POLLERR | POLLHUP | POLLNVAL));
        states[i] = failed ? AttemptState::Failed : AttemptState::Connected;
    }
}

bool PlatformMakeBlocking(ServerConnection& connection) {
    int flags = fcntl(Fd(connection), F_GETFL);
    return flags >= 0 && fcntl(Fd(connection), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

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
