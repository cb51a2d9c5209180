#include "net/tcp_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "net/clock.h"
#include "net/tcp_platform.h"

namespace zefo {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a waiting connect asks whether to stop.
constexpr milliseconds kStopPollInterval{50};

bool StopRequested(const ConnectOptions& options) {
    return options.stopRequested && options.stopRequested();
}

uint32_t MillisecondsUntil(SteadyClock::time_point from, SteadyClock::time_point to) {
    if (to <= from)
        return 0;
    // Rounded up, so a wait never ends just before its moment and spins.
    auto ms = std::chrono::ceil<milliseconds>(to - from).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<uint32_t>(ms);
}

// A lookup on a thread of its own, so that the connect's bound covers the
// resolver too. When the connect gives up first, the thread finishes alone and
// drops what it found.
struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::vector<Endpoint> endpoints;
};

std::vector<Endpoint> LookUpWithin(const std::string& host,
                                   uint16_t port,
                                   SteadyClock::time_point deadline,
                                   const ConnectOptions& options,
                                   ConnectFailure& failure) {
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port] {
            std::vector<Endpoint> found = detail::PlatformLookUp(host, port);
            std::lock_guard guard(lookup->lock);
            lookup->endpoints = std::move(found);
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: look up here, unbounded as the resolver is.
        return detail::PlatformLookUp(host, port);
    }
    for (;;) {
        {
            std::unique_lock lock(lookup->lock);
            const auto wake = std::min(deadline, SteadyClock::now() + kStopPollInterval);
            if (lookup->finished.wait_until(lock, wake, [&] { return lookup->done; }))
                return std::move(lookup->endpoints);
        }
        if (StopRequested(options)) {
            failure = ConnectFailure::Stopped;
            return {};
        }
        if (SteadyClock::now() >= deadline) {
            failure = ConnectFailure::TimedOut;
            return {};
        }
    }
}

struct Attempt {
    ConnectionPtr connection;
    Endpoint endpoint;
};

// Races the endpoints in their order (RFC 8305).
ConnectionPtr Race(const std::vector<Endpoint>& endpoints,
                   SteadyClock::time_point deadline,
                   const ConnectOptions& options,
                   ConnectReport& report) {
    std::vector<Attempt> pending;
    std::vector<ServerConnection*> waiting;
    std::vector<detail::AttemptState> states;
    size_t next = 0;
    auto nextStart = SteadyClock::now();
    const milliseconds delay{options.attemptDelayMs};
    for (;;) {
        if (StopRequested(options)) {
            report.failure = ConnectFailure::Stopped;
            return nullptr;
        }
        auto now = SteadyClock::now();
        if (now >= deadline) {
            report.failure = ConnectFailure::TimedOut;
            return nullptr;
        }
        if (next < endpoints.size() && (pending.empty() || now >= nextStart)) {
            const Endpoint& endpoint = endpoints[next++];
            ConnectionPtr connection;
            ++report.attempts;
            auto state = detail::PlatformStartConnect(endpoint, connection);
            if (state == detail::AttemptState::Connected && detail::PlatformMakeBlocking(*connection)) {
                report.connected = endpoint;
                return connection;
            }
            if (state == detail::AttemptState::Pending) {
                pending.push_back({std::move(connection), endpoint});
                nextStart = now + delay;
            } else {
                nextStart = now;  // failed at once: the next address goes now
            }
            continue;
        }
        if (pending.empty()) {
            report.failure = ConnectFailure::Unreachable;
            return nullptr;
        }

        auto wake = deadline;
        if (next < endpoints.size())
            wake = std::min(wake, nextStart);
        if (options.stopRequested)
            wake = std::min(wake, now + kStopPollInterval);
        waiting.clear();
        for (const Attempt& attempt : pending)
            waiting.push_back(attempt.connection.get());
        detail::PlatformWaitConnects(waiting, MillisecondsUntil(now, wake), states);
        for (size_t i = pending.size(); i-- > 0;) {
            if (states[i] == detail::AttemptState::Pending)
                continue;
            if (states[i] == detail::AttemptState::Connected && detail::PlatformMakeBlocking(*pending[i].connection)) {
                report.connected = pending[i].endpoint;
                return std::move(pending[i].connection);
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            nextStart = SteadyClock::now();  // a failure makes way for the next address at once
        }
    }
}

// 255.255.255.255 is no host to connect to.
bool Usable(const Endpoint& endpoint) {
    static constexpr uint8_t kBroadcast[4] = {255, 255, 255, 255};
    return endpoint.ipv6 || !std::equal(kBroadcast, kBroadcast + 4, endpoint.address.begin());
}

}  // namespace

std::vector<Endpoint> ConnectOrder(const std::vector<Endpoint>& lookedUp) {
    std::vector<Endpoint> first, second;
    for (const Endpoint& endpoint : lookedUp) {
        if (std::find(first.begin(), first.end(), endpoint) != first.end() ||
            std::find(second.begin(), second.end(), endpoint) != second.end())
            continue;
        (endpoint.ipv6 == lookedUp.front().ipv6 ? first : second).push_back(endpoint);
    }
    std::vector<Endpoint> order;
    for (size_t i = 0; (i < first.size() || i < second.size()) && order.size() < kConnectMaxAddresses; ++i) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < second.size() && order.size() < kConnectMaxAddresses)
            order.push_back(second[i]);
    }
    return order;
}

ConnectionPtr Connect(const std::string& hostText,
                      uint16_t port,
                      const ConnectOptions& options,
                      ConnectReport* report) {
    ConnectReport own;
    ConnectReport& result = report ? *report : own;
    result = {};
    std::string host = hostText;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find('\0') != std::string::npos) {
        result.failure = ConnectFailure::BadHost;
        return nullptr;
    }
    const auto deadline = SteadyClock::now() + milliseconds(options.limitMs);

    std::vector<Endpoint> endpoints;
    Endpoint literal;
    if (detail::PlatformNumericEndpoint(host, port, literal)) {
        endpoints.push_back(literal);
    } else {
        endpoints = LookUpWithin(host, port, deadline, options, result.failure);
        if (result.failure != ConnectFailure::None)
            return nullptr;
    }
    endpoints.erase(std::remove_if(endpoints.begin(), endpoints.end(), [](const Endpoint& e) { return !Usable(e); }),
                    endpoints.end());
    if (endpoints.empty()) {
        result.failure = ConnectFailure::NoAddress;
        return nullptr;
    }
    return Race(ConnectOrder(endpoints), deadline, options, result);
}

ConnectionPtr ConnectToAny(const std::vector<Endpoint>& endpoints,
                           const ConnectOptions& options,
                           ConnectReport* report) {
    ConnectReport own;
    ConnectReport& result = report ? *report : own;
    result = {};
    if (endpoints.empty()) {
        result.failure = ConnectFailure::NoAddress;
        return nullptr;
    }
    return Race(endpoints, SteadyClock::now() + milliseconds(options.limitMs), options, result);
}

// Texts are UTF-8 inside the program, which is what a name lookup by UTF-8
// bytes needs, so both openings are the same.
ConnectionPtr OpenConnection(const std::string& host, uint16_t port) {
    return Connect(host, port);
}

ConnectionPtr OpenConnectionBytes(const std::string& host, uint16_t port) {
    return Connect(host, port);
}

int SendText(ServerConnection& connection, const std::string& text) {
    return SendBytes(connection, text.data(), static_cast<int>(text.size()));
}

int PollEvent(ServerConnection& connection) {
    return BytesWaiting(connection) > 0 ? kPollData : kPollNothing;
}

void CloseConnection(ConnectionPtr& connection) {
    connection.reset();
}

bool WaitReadable(ServerConnection& connection, uint32_t milliseconds) {
    TestClock* clock = CurrentTestClock();
    if (!clock)
        return detail::PlatformWaitReadable(connection.socket(), milliseconds);
    bool ready = detail::PlatformWaitReadable(connection.socket(), clock->WaitBegins(milliseconds));
    clock->WaitEnded(milliseconds, ready);
    return ready;
}

}  // namespace zefo
