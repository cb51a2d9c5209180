#include "net/network_options.h"

#include "base/ascii.h"
#include "net/proxy_config.h"

namespace zefo {

namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

bool IsProxySetting(std::string_view text) {
    text = Trimmed(text);
    ProxyServer proxy;
    return text.empty() || EqualsNoCase(text, "none") || ParseProxyUrl(text, proxy);
}

bool ParseLimitSetting(std::string_view text, uint64_t& bytesPerSecond) {
    text = Trimmed(text);
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
