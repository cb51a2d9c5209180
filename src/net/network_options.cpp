#include "net/network_options.h"

#include "base/ascii.h"
#include "net/proxy_config.h"

namespace zefo {

namespace {}  // namespace

bool IsProxySetting(std::string_view text) {
    text = TrimBlanks(text);
    ProxyServer proxy;
    return text.empty() || EqualsNoCase(text, "none") || ParseProxyUrl(text, proxy);
}

bool ParseLimitSetting(std::string_view text, uint64_t& bytesPerSecond) {
    text = TrimBlanks(text);
    if (text.empty()) {
        bytesPerSecond = 0;
        return true;
    }
    return ParseRate(text, bytesPerSecond);
}

std::shared_ptr<RateLimiter> MakeLimiter(std::string_view text) {
    uint64_t rate = 0;
    if (!ParseLimitSetting(text, rate))
        rate = 0;
    return std::make_shared<RateLimiter>(rate);
}

}  // namespace zefo
