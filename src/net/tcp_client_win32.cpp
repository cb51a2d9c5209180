#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/wide_text_win32.h"

#include "net/tcp_client.h"
#include "net/tcp_platform.h"

namespace zefo {

namespace {

std::atomic<bool> started{false};

SOCKET Socket(const ServerConnection& connection) {
    return static_cast<SOCKET>(connection.socket());
}

// The socket address of an endpoint, and its length.
int ToSockaddr(const Endpoint& endpoint, sockaddr_storage& storage) {
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

bool FromSockaddr(const sockaddr* address, size_t length, uint16_t port, Endpoint& endpoint) {
    endpoint = {};
    endpoint.port = port;
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        endpoint.ipv6 = true;
        memcpy(endpoint.address.data(), &v6->sin6_addr, 16);
        endpoint.scope = v6->sin6_scope_id;
        return true;
    }
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        memcpy(endpoint.address.data(), &v4->sin_addr, 4);
        return true;
    }
    return false;
}

template <typename Info>
void Collect(const Info* list, uint16_t port, std::vector<Endpoint>& endpoints) {
    for (const Info* entry = list; entry; entry = entry->ai_next) {
        Endpoint endpoint;
        if (entry->ai_addr && FromSockaddr(entry->ai_addr, entry->ai_addrlen, port, endpoint))
            endpoints.push_back(endpoint);
    }
}

// A name in UTF-8 goes to the UTF-16 lookup, which also handles international
// names; other bytes go to the ANSI one as they are.
std::vector<Endpoint> Resolve(const std::string& host, uint16_t port, int flags) {
    std::vector<Endpoint> endpoints;
    if (std::optional<std::wstring> wide = WidenExact(host)) {
        ADDRINFOW hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = flags;
        ADDRINFOW* result = nullptr;
        if (GetAddrInfoW(wide->c_str(), nullptr, &hints, &result) != 0)
            return endpoints;
        Collect(result, port, endpoints);
        FreeAddrInfoW(result);
        return endpoints;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
        return endpoints;
    Collect(result, port, endpoints);
    freeaddrinfo(result);
    return endpoints;
}

bool SetBlocking(SOCKET handle, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(handle, FIONBIO, &nonBlocking) == 0;
}

}  // namespace

ServerConnection::~ServerConnection() {
    closesocket(static_cast<SOCKET>(socket_));
}

bool NetworkStartup() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    started.store(true, std::memory_order_release);
    return true;
}

void NetworkShutdown() {
    if (started.exchange(false, std::memory_order_acq_rel))
        WSACleanup();
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
    int length = ToSockaddr(endpoint, target);
    SOCKET handle = socket(target.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET)
        return AttemptState::Failed;
    connection = std::make_unique<ServerConnection>(static_cast<uintptr_t>(handle));
    if (!SetBlocking(handle, false))
        return AttemptState::Failed;
    if (connect(handle, reinterpret_cast<const sockaddr*>(&target), length) == 0)
        return AttemptState::Connected;
    return WSAGetLastError() == WSAEWOULDBLOCK ? AttemptState::Pending : AttemptState::Failed;
}

// select, not WSAPoll: WSAPoll of older Windows versions never reports a
// connect that failed. A failed connect shows in the exception set.
void PlatformWaitConnects(const std::vector<ServerConnection*>& attempts,
                          uint32_t milliseconds,
                          std::vector<AttemptState>& states) {
    states.assign(attempts.size(), AttemptState::Pending);
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (size_t i = 0; i < attempts.size() && i < FD_SETSIZE; ++i) {
        FD_SET(Socket(*attempts[i]), &writable);
        FD_SET(Socket(*attempts[i]), &failed);
    }
    timeval limit{};
    limit.tv_sec = static_cast<long>(milliseconds / 1000);
    limit.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
    if (select(0, nullptr, &writable, &failed, &limit) <= 0)
        return;
    for (size_t i = 0; i < attempts.size(); ++i) {
        SOCKET handle = Socket(*attempts[i]);
        if (FD_ISSET(handle, &failed))
            states[i] = AttemptState::Failed;
        else if (FD_ISSET(handle, &writable))
            states[i] = AttemptState::Connected;
    }
}

bool PlatformMakeBlocking(ServerConnection& connection) {
    return SetBlocking(Socket(connection), true);
}

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
