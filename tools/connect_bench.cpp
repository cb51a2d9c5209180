// What an address that never answers costs a connect: a name whose first address
// (::1) never answers and whose second (127.0.0.1) does, against a name with only
// the address that answers, and curl's connect time for the first name beside it.
// Runs where /etc/hosts gives dual.zefo.test "::1" then "127.0.0.1" and
// live.zefo.test "127.0.0.1" (bench_connect.sh makes such a hosts file in a mount
// namespace). POSIX only.
//
//   connect_bench [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_client.h"

namespace {

// A listening socket on the loopback address of the family at `port` (0: any).
int Listen(bool ipv6, uint16_t& port, int backlog) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length;
    if (ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4->sin_port = htons(port);
        length = sizeof *v4;
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return fd;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 11;
    if (rounds < 1 || !zefo::NetworkStartup())
        return 2;
    // ::1 at a port whose queue is full (one connection waits unaccepted; further
    // ones get no answer), 127.0.0.1 at the same port answering.
    uint16_t port = 0;
    int dead = -1, live = -1;
    for (int i = 0; i < 20 && live < 0; ++i) {
        if (dead >= 0)
            close(dead);
        port = 0;
        dead = Listen(true, port, 0);
        live = dead < 0 ? -1 : Listen(false, port, 64);
    }
    if (dead < 0 || live < 0) {
        std::fprintf(stderr, "connect_bench: no listeners on ::1 and 127.0.0.1 at one port\n");
        return 1;
    }
    std::vector<zefo::ConnectionPtr> fillers;
    for (int i = 0; i < 4; ++i) {
        zefo::ConnectOptions quick;
        quick.limitMs = 200;
        if (zefo::ConnectionPtr filler = zefo::Connect("::1", port, quick))
            fillers.push_back(std::move(filler));
        else
            break;
    }

    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        while (!stop.load()) {
            pollfd entry{live, POLLIN, 0};
            if (poll(&entry, 1, 50) > 0) {
                int accepted = accept(live, nullptr, nullptr);
                if (accepted >= 0)
                    close(accepted);
            }
        }
    });

    using Clock = std::chrono::steady_clock;
    auto timed = [&](const char* host, int& failures) {
        auto start = Clock::now();
        zefo::ConnectionPtr connection = zefo::Connect(host, port);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!connection)
            ++failures;
        return ms;
    };
    std::vector<double> answering, firstDead, curlDead;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        answering.push_back(timed("live.zefo.test", failures));
        firstDead.push_back(timed("dual.zefo.test", failures));
        const std::string command =
            "curl -s -o /dev/null -m 2 -w '%{time_connect}' http://dual.zefo.test:" + std::to_string(port) +
            "/ 2>/dev/null";
        if (FILE* curl = popen(command.c_str(), "r")) {
            double seconds = 0;
            if (std::fscanf(curl, "%lf", &seconds) == 1 && seconds > 0)
                curlDead.push_back(seconds * 1000);
            pclose(curl);
        }
    }
    stop.store(true);
    acceptor.join();

    const double a = Median(answering), d = Median(firstDead);
    std::printf(
        "median of %d: a name that answers %.1f ms; its first address never answering %.1f ms (%.1f ms more, "
        "target at most 500)",
        rounds, a, d, d - a);
    if (!curlDead.empty())
        std::printf("; curl to the same name %.1f ms", Median(curlDead));
    std::printf("; %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
