#include "net/server_request.h"

#include <algorithm>
#include <array>

#include "net/clock.h"
#include "net/tcp_client.h"
#include "net/text_decode.h"
#include "net/text_ops.h"
#include "support/translations.h"

namespace zefo {

namespace {

constexpr int kPiece = 1024;
// Pieces read in one pass before the time limit is looked at again.
constexpr int kPiecesPerPass = 256;
constexpr std::string_view kEndMarker = "[/data]";
constexpr uint32_t kStopPollMs = 250;

void ShowError(Observer& observer, const char* key) {
    observer.Message(LookupText("ERR"), LookupText(key));
}

}  // namespace

void SplitHostPort(std::string_view authority, std::string& host, uint16_t& port) {
    size_t colon = authority.find(':');
    host = std::string(authority.substr(0, colon));
    port = 80;
    if (colon == std::string_view::npos || colon + 1 == authority.size())
        return;
    uint16_t value = 0;
    for (size_t i = colon + 1; i < authority.size() && authority[i] >= '0' && authority[i] <= '9'; ++i)
        value = static_cast<uint16_t>(value * 10u + static_cast<unsigned>(authority[i] - '0'));
    port = value;
}

std::string ListRequestText(const std::string& server, const std::string& path) {
    return "GET " + path + " HTTP/1.0\r\n" + "Host: " + server + "\r\n" + "User-Agent: Zefo Game Updater\r\n" + "\r\n";
}

RequestResult ServerRequest(const std::string& server,
                            const std::string& path,
                            Observer& observer,
                            const std::function<void(const std::string& block)>& handleBlock) {
    std::string host;
    uint16_t port = 80;
    SplitHostPort(server, host, port);
    ConnectionPtr connection = OpenConnection(host, port);
    if (!connection) {
        ShowError(observer, "ERR_SERVER");
        return RequestResult::Unreachable;
    }
    SendText(*connection, ListRequestText(server, path));
    const uint32_t start = MillisecondTicks();

    std::string collected;
    size_t searchFrom = 0;  // "[/data]" cannot begin before this offset
    bool peerGone = false;
    std::array<char, kPiece> piece;
    for (;;) {
        if (observer.StopRequested()) {
            CloseConnection(connection);
            return RequestResult::Stopped;
        }
        uint32_t elapsed = MillisecondTicks() - start;
        if (elapsed > kListTimeoutMs || collected.size() > kListReplyLimit) {
            ShowError(observer, "ERR_TIMEOUT");
            CloseConnection(connection);
            return RequestResult::TimedOut;
        }
        // Waiting one millisecond past the limit lets the next pass see the time-out;
        // a wait never lasts so long that a request to stop goes unnoticed.
        uint32_t wait = std::min(kListTimeoutMs - elapsed + 1, kStopPollMs);
        if (peerGone) {
            SleepMilliseconds(wait);
        } else if (WaitReadable(*connection, wait)) {
            int waiting = BytesWaiting(*connection);
            // Readable with nothing waiting: the peer closed or the connection
            // failed. No byte can follow, so the remaining passes only wait.
            if (waiting == 0)
                peerGone = true;
            for (int count = 0; waiting > 0 && count < kPiecesPerPass; ++count) {
                int received = ReceiveBytes(*connection, piece.data(), std::min(waiting, kPiece));
                if (received <= 0)
                    break;
                waiting -= received;
                // Each piece ends at its first zero byte.
                collected += DecodeText(piece.data(), received, kEncodingCodePage);
            }
        }
        size_t found = collected.find(kEndMarker, searchFrom);
        if (found != std::string::npos) {
            handleBlock(TextBetween(collected, "[data]", kEndMarker));
            CloseConnection(connection);
            return RequestResult::Done;
        }
        if (collected.size() >= kEndMarker.size())
            searchFrom = collected.size() - kEndMarker.size() + 1;
    }
}

}  // namespace zefo
