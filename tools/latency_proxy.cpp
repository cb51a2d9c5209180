// A TCP proxy on 127.0.0.1 that delays every byte by a fixed time in each direction,
// so that a benchmark on one machine sees the round-trip time of a real network link.
//
//   latency_proxy LISTEN_PORT TARGET_PORT DELAY_MS [CUT_BYTES]
//
// Each accepted connection gets one to 127.0.0.1:TARGET_PORT; bytes travel both ways
// DELAY_MS later than they arrived (a round trip costs twice that), and a new
// connection carries nothing for one round trip, as its handshake. With CUT_BYTES, each
// connection breaks off once that many bytes went towards the client. The first output
// line is "listening on 127.0.0.1:PORT" (LISTEN_PORT 0 takes a free port). Runs until
// it is killed. POSIX only; benchmarks only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Piece {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed its side
};

// One direction of one connection: a reader queues what arrives, a writer sends it
// when its time has come.
class Lane {
  public:
    Lane(int from, int to, std::chrono::milliseconds delay, long long limit = -1)
        : from_(from), to_(to), delay_(delay), left_(limit) {}

    void Run() {
        std::thread writer([this] { Write(); });
        char buffer[65536];
        for (;;) {
            ssize_t got = recv(from_, buffer, sizeof buffer, 0);
            Push(got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string());
            if (got <= 0)
                break;
        }
        writer.join();
    }

  private:
    void Push(std::string bytes) {
        std::lock_guard guard(lock_);
        queue_.push_back(Piece{Clock::now() + delay_, std::move(bytes)});
        ready_.notify_one();
    }

    void Write() {
        for (;;) {
            Piece piece;
            {
                std::unique_lock guard(lock_);
                ready_.wait(guard, [this] { return !queue_.empty(); });
                piece = std::move(queue_.front());
                queue_.pop_front();
            }
            std::this_thread::sleep_until(piece.due);
            if (piece.bytes.empty()) {
                shutdown(to_, SHUT_WR);
                return;
            }
            const char* data = piece.bytes.data();
            size_t left = piece.bytes.size();
            if (left_ >= 0 && static_cast<long long>(left) >= left_) {
                // The cut: what fits goes, then both ends of the connection break off.
                left = static_cast<size_t>(left_);
                while (left > 0) {
                    ssize_t put = send(to_, data, left, MSG_NOSIGNAL);
                    if (put <= 0)
                        break;
                    data += put;
                    left -= static_cast<size_t>(put);
                }
                shutdown(to_, SHUT_RDWR);
                shutdown(from_, SHUT_RDWR);
                return;
            }
            if (left_ >= 0)
                left_ -= static_cast<long long>(left);
            while (left > 0) {
                ssize_t put = send(to_, data, left, MSG_NOSIGNAL);
                if (put <= 0) {
                    shutdown(from_, SHUT_RD);
                    return;
                }
                data += put;
                left -= static_cast<size_t>(put);
            }
        }
    }

    int from_;
    int to_;
    std::chrono::milliseconds delay_;
    long long left_;  // bytes still to pass before the cut; -1: no cut
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Piece> queue_;
};

int Connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Serve(int client, int targetPort, std::chrono::milliseconds delay, long long cut) {
    // A new connection costs its handshake, one round trip, before the first byte moves.
    std::this_thread::sleep_for(2 * delay);
    int server = Connect(targetPort);
    if (server < 0) {
        close(client);
        return;
    }
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Lane up(client, server, delay), down(server, client, delay, cut);
    std::thread upward([&up] { up.Run(); });
    down.Run();
    upward.join();
    close(server);
    close(client);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS [CUT_BYTES]\n", argv[0]);
        return 2;
    }
    const int listenPort = std::atoi(argv[1]);
    const int targetPort = std::atoi(argv[2]);
    const std::chrono::milliseconds delay(std::atoi(argv[3]));
    const long long cut = argc == 5 ? std::atoll(argv[4]) : -1;

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(listenPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 128) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("latency_proxy");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client >= 0)
            std::thread(Serve, client, targetPort, delay, cut).detach();
    }
}
