// What the connections of one run need beyond the server's address: the proxy
// setting, the speed limit they share and the mirrors of the game's files. The
// front ends build it once per run from the settings and their own options; the
// engine hands it down to where the downloads start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/rate_limit.h"
#include "net/tcp_client.h"

namespace zefo {

struct NetworkOptions {
    // A proxy URL, or "none", that beats the system's proxy (ChooseProxy's
    // override); empty: the system's proxy.
    std::string proxy;
    // The limit every download of the run pays into; null: no limit.
    std::shared_ptr<RateLimiter> limiter;
    // The mirrors the game's file list names (mirrors.h): for files only.
    std::vector<std::string> mirrors;
    // The bound of each connect (a test makes a host that never answers cheap).
    uint32_t connectLimitMs = kConnectLimitMs;
};

// True for the texts a proxy setting may hold: empty (the system's proxy), "none"
// in any letter case, or a proxy URL that ParseProxyUrl takes; blanks around it
// do not count.
bool IsProxySetting(std::string_view text);

// A speed limit as the settings and the command line give it: ParseRate's units,
// the empty text no limit. False for anything else.
bool ParseLimitSetting(std::string_view text, uint64_t& bytesPerSecond);

// A limiter for the speed limit `text` (checked with ParseLimitSetting; a text
// it refuses limits nothing).
std::shared_ptr<RateLimiter> MakeLimiter(std::string_view text);

}  // namespace zefo
