#include "net/tcp_client.h"

#include "net/clock.h"
#include "net/tcp_platform.h"

namespace zefo {

// Texts are UTF-8 inside the program, which is what a name lookup by UTF-8
// bytes needs, so both openings are the same.
ConnectionPtr OpenConnection(const std::string& host, uint16_t port) {
    return OpenConnectionBytes(host, port);
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
