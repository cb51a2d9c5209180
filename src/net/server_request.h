// One exchange of the list protocol with the update server: an HTTP/1.0 GET,
// a reply collected until "[/data]" within 10 seconds, and the block between
// "[data]" and "[/data]".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/observer.h"

namespace zefo {

constexpr uint32_t kListTimeoutMs = 10000;
// A reply that grows past this without "[/data]" ends like a time-out.
constexpr size_t kListReplyLimit = 64u << 20;

// Splits "host" or "host:port" at the first ":". The port is the decimal digits
// up to the first non-digit, reduced to 16 bits (no digits give 0); without a
// port text it is 80.
void SplitHostPort(std::string_view authority, std::string& host, uint16_t& port);

// The request for `path` ("/" or "/" + folder + "/"), with `server` as it stands in the Host line.
std::string ListRequestText(const std::string& server, const std::string& path);

enum class RequestResult { Done, Unreachable, TimedOut, Stopped };

// Connects to `server` (port 80 unless it names one), sends the request for
// `path` and calls `handleBlock` with the reply's block once "[/data]" arrived.
// On a failed connection or a time-out it reports the message ("ERR" with
// "ERR_SERVER" or "ERR_TIMEOUT") through `observer`, then closes the connection,
// without calling `handleBlock`.
RequestResult ServerRequest(const std::string& server,
                            const std::string& path,
                            Observer& observer,
                            const std::function<void(const std::string& block)>& handleBlock);

}  // namespace zefo
