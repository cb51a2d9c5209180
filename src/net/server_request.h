// One exchange of the list protocol with the update server: an HTTP/1.0 GET over
// plain TCP or TLS, a reply collected until "[/data]" (or the signature block after
// it) within 10 seconds, and the block between "[data]" and "[/data]".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "net/address.h"
#include "net/observer.h"

namespace zefo {

constexpr uint32_t kListTimeoutMs = 10000;
// A reply that grows past this without "[/data]" ends like a time-out.
constexpr size_t kListReplyLimit = 64u << 20;
// How much of an unsigned reply before "[data]" an exchange hands over.
constexpr size_t kListHeadLimit = 64u << 10;

// The request for `path` ("/" or "/" + folder + "/", or the absolute URL through a
// proxy), with `server` as it stands in the Host line and any Proxy-Authorization
// line (with its line end) after it.
std::string ListRequestText(const std::string& server,
                            const std::string& path,
                            const std::string& proxyAuthorization = {});

// How the program reaches the update server: the server text as the user wrote it
// ("host", "host:port", "http://host[:port]" or "https://host[:port]") and, for
// https, an optional pin (64 hexadecimal digits: the SHA-256 of the server's
// SubjectPublicKeyInfo). A plain text converts, so callers that know only the
// server text pass it as it is.
struct ServerAccess {
    ServerAccess() = default;
    ServerAccess(std::string serverText, std::string pinText = {})  // NOLINT: converting on purpose
        : server(std::move(serverText)), pin(std::move(pinText)) {}
    ServerAccess(const char* serverText) : server(serverText) {}  // NOLINT: converting on purpose

    std::string server;
    std::string pin;
    // The proxy setting (ChooseProxy's override: a proxy URL, "none", or empty for
    // the system's proxy).
    std::string proxy;
};

enum class RequestResult { Done, Unreachable, TimedOut, Stopped };

// What an exchange hands over: the block, and for a signed one the reply's bytes as
// received (before any decoding) for the signature check; for an unsigned one what
// the reply holds before "[data]" (status line, headers and any line of the body
// before the block), at most its last kListHeadLimit bytes.
using ReplyHandler = std::function<void(const std::string& block, std::string_view rawReply)>;

// Connects to `server` (port 80 unless it names one), sends the request for
// `path` and calls `handleBlock` with the reply's block once "[/data]" arrived.
// On a failed connection or a time-out it reports the message ("ERR" with
// "ERR_SERVER" or "ERR_TIMEOUT") through `observer`, then closes the connection,
// without calling `handleBlock`.
RequestResult ServerRequest(const std::string& server,
                            const std::string& path,
                            Observer& observer,
                            const std::function<void(const std::string& block)>& handleBlock);

// The same through `access`: an https server is reached over TLS, and a failed
// handshake reports its English reason as a status line before the "ERR_SERVER"
// message. With `signedReply` the reply is read on after "[/data]" to the end of
// the signature block that follows it (or the server's close), the block is decoded
// from the received bytes as a whole, and `handleReply` also gets those bytes;
// otherwise the block is the one of the overload above and the raw text its head.
RequestResult ServerRequest(const ServerAccess& access,
                            const std::string& path,
                            Observer& observer,
                            bool signedReply,
                            const ReplyHandler& handleReply);

}  // namespace zefo
