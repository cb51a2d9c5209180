#include "net/server_request.h"

#include <algorithm>
#include <array>

#include "net/clock.h"
#include "net/http_reply.h"
#include "net/stream.h"
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

constexpr std::string_view kDataMarker = "[data]";
constexpr std::string_view kSigOpen = "[sig]";
constexpr std::string_view kSigClose = "[/sig]";
// Redirects a list request follows in a row.
constexpr int kMaxListRedirects = 5;

void ShowError(Observer& observer, const char* key) {
    observer.Message(LookupText("ERR"), LookupText(key));
}

// Whether a signed reply is complete: "[data]", then "[/data]", then either the
// whole signature block right behind it or any other byte there (an unsigned
// reply, which the check refuses). A server that closed after "[/data]" has sent
// all it will. Each search goes on where the last one ended.
class SignedEnd {
  public:
    bool Reached(const std::string& raw, bool peerGone) {
        if (open_ == std::string::npos && !Find(raw, kDataMarker, open_, openFrom_))
            return false;
        if (close_ == std::string::npos) {
            closeFrom_ = std::max(closeFrom_, open_ + kDataMarker.size());
            if (!Find(raw, kEndMarker, close_, closeFrom_))
                return false;
        }
        const size_t after = close_ + kEndMarker.size();
        if (peerGone)
            return true;
        if (raw.size() - after < kSigOpen.size())
            return false;
        if (raw.compare(after, kSigOpen.size(), kSigOpen) != 0)
            return true;
        size_t end = std::string::npos;
        sigFrom_ = std::max(sigFrom_, after + kSigOpen.size());
        return Find(raw, kSigClose, end, sigFrom_);
    }

  private:
    // Finds `marker` from `from` on; otherwise moves `from` to where a later search begins.
    static bool Find(const std::string& raw, std::string_view marker, size_t& at, size_t& from) {
        at = raw.find(marker, from);
        if (at != std::string::npos)
            return true;
        if (raw.size() >= marker.size())
            from = std::max(from, raw.size() - marker.size() + 1);
        return false;
    }

    size_t open_ = std::string::npos;
    size_t close_ = std::string::npos;
    size_t openFrom_ = 0;
    size_t closeFrom_ = 0;
    size_t sigFrom_ = 0;
};

// What an unsigned reply holds before its block: its last kListHeadLimit bytes at most.
std::string ReplyHead(const std::string& collected) {
    const size_t open = collected.find("[data]");
    if (open == std::string::npos)
        return {};
    const size_t from = open > kListHeadLimit ? open - kListHeadLimit : 0;
    return collected.substr(from, open - from);
}

}  // namespace

std::string ListRequestText(const std::string& server, const std::string& path, const std::string& proxyAuthorization) {
    return "GET " + path + " HTTP/1.0\r\n" + "Host: " + server + "\r\n" + proxyAuthorization +
           "User-Agent: Zefo Game Updater\r\n" + "\r\n";
}

RequestResult ServerRequest(const std::string& server,
                            const std::string& path,
                            Observer& observer,
                            const std::function<void(const std::string& block)>& handleBlock) {
    return ServerRequest(ServerAccess(server), path, observer, false,
                         [&handleBlock](const std::string& block, std::string_view) { handleBlock(block); });
}

namespace {

// Where one exchange of a list request goes: the address, the text of its Host line,
// the request target ("/" and the rest) and the redirects that led there.
struct ListTarget {
    ServerAddress address;
    std::string hostText;
    std::string path;
    int redirects = 0;
};

// Whether `reply` begins with a complete head that redirects the request; `next` then
// holds where to, or the redirect cannot be followed (`failed`).
bool ListRedirect(const ListTarget& target,
                  const std::string& pin,
                  const std::string& reply,
                  bool peerGone,
                  ListTarget& next,
                  bool& failed) {
    zefo::ReplyHead head;
    if (ParseReplyHead(reply, peerGone, head) != HeadResult::Complete)
        return false;
    const int status = head.status;
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return false;
    Location from, to;
    from.address = target.address;
    from.target = target.path.substr(1);
    from.pin = pin;
    failed = target.redirects >= kMaxListRedirects || !ResolveRedirect(from, head.location, to);
    if (!failed) {
        next.address = to.address;
        next.hostText = HostLine(to.address);
        next.path = "/" + to.target;
        next.redirects = target.redirects + 1;
    }
    return true;
}

RequestResult Exchange(const ServerAccess& access,
                       const ListTarget& target,
                       Observer& observer,
                       bool signedReply,
                       const ReplyHandler& handleReply) {
    const ServerAddress& address = target.address;
    const std::string& path = target.path;
    std::string reason;
    StreamOptions options;
    options.stopRequested = [&observer] { return observer.StopRequested(); };
    options.proxy = ChooseProxy(access.proxy, address.tls, address.host, address.port);
    StreamPtr stream = OpenStream(address, access.pin, kListTimeoutMs, reason, options);
    if (!stream) {
        if (observer.StopRequested())
            return RequestResult::Stopped;
        if (!reason.empty())
            observer.Status(reason);
        ShowError(observer, "ERR_SERVER");
        return RequestResult::Unreachable;
    }
    const std::string request = ListRequestText(target.hostText, RequestTarget(address, options.proxy, path),
                                                ProxyAuthorizationLine(address, options.proxy));
    stream->Send(request.data(), static_cast<int>(request.size()));
    const uint32_t start = MillisecondTicks();

    std::string collected;  // decoded piece by piece (unsigned replies)
    std::string raw;        // as received (signed replies)
    size_t searchFrom = 0;  // "[/data]" cannot begin before this offset
    SignedEnd signedEnd;
    bool peerGone = false;
    bool headSeen = false;
    std::array<char, kPiece> piece;
    for (;;) {
        if (observer.StopRequested())
            return RequestResult::Stopped;
        uint32_t elapsed = MillisecondTicks() - start;
        if (elapsed > kListTimeoutMs || collected.size() > kListReplyLimit || raw.size() > kListReplyLimit) {
            ShowError(observer, "ERR_TIMEOUT");
            return RequestResult::TimedOut;
        }
        // Waiting one millisecond past the limit lets the next pass see the time-out;
        // a wait never lasts so long that a request to stop goes unnoticed.
        uint32_t wait = std::min(kListTimeoutMs - elapsed + 1, kStopPollMs);
        if (peerGone) {
            SleepMilliseconds(wait);
        } else if (stream->WaitReadable(wait)) {
            for (int count = 0; count < kPiecesPerPass; ++count) {
                int received = stream->ReceiveWaiting(piece.data(), kPiece);
                if (received == kReceiveNothing)
                    break;
                // The peer closed or the connection failed: no byte can follow, so
                // the remaining passes only wait.
                if (received <= 0) {
                    peerGone = true;
                    break;
                }
                if (signedReply) {
                    raw.append(piece.data(), static_cast<size_t>(received));
                } else {
                    // Each piece ends at its first zero byte.
                    collected += DecodeText(piece.data(), received, kEncodingCodePage);
                }
            }
        }
        // A reply that begins with a redirect sends the request elsewhere.
        const std::string& reply = signedReply ? raw : collected;
        if (!headSeen && (peerGone || reply.find("\r\n\r\n") != std::string::npos)) {
            headSeen = true;
            ListTarget next;
            bool failed = false;
            if (ListRedirect(target, access.pin, reply, peerGone, next, failed)) {
                if (!failed) {
                    stream.reset();
                    return Exchange(access, next, observer, signedReply, handleReply);
                }
                ShowError(observer, "ERR_SERVER");
                return RequestResult::Unreachable;
            }
        }
        if (signedReply) {
            if (signedEnd.Reached(raw, peerGone)) {
                const std::string rawBlock = TextBetween(raw, "[data]", kEndMarker);
                handleReply(DecodeText(rawBlock.data(), static_cast<int>(rawBlock.size()), kEncodingCodePage), raw);
                return RequestResult::Done;
            }
            continue;
        }
        size_t found = collected.find(kEndMarker, searchFrom);
        if (found != std::string::npos) {
            // The reply goes before the block is parsed: a long list need not be held
            // three times over.
            const std::string block = TextBetween(collected, "[data]", kEndMarker);
            const std::string head = ReplyHead(collected);
            std::string().swap(collected);
            handleReply(block, head);
            return RequestResult::Done;
        }
        if (collected.size() >= kEndMarker.size())
            searchFrom = collected.size() - kEndMarker.size() + 1;
    }
}

}  // namespace

RequestResult ServerRequest(const ServerAccess& access,
                            const std::string& path,
                            Observer& observer,
                            bool signedReply,
                            const ReplyHandler& handleReply) {
    ListTarget target;
    target.address = ParseServerAddress(access.server);
    // A text without a scheme stands in the Host line as it is written.
    target.hostText = target.address.schemeGiven ? HostLine(target.address) : access.server;
    target.path = path;
    return Exchange(access, target, observer, signedReply, handleReply);
}

}  // namespace zefo
