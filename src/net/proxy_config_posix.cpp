#include <cstdlib>

#include "net/proxy_config.h"
#include "net/proxy_platform.h"

namespace zefo::detail {

std::optional<std::string> PlatformEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

std::string PlatformSystemProxy(bool tls, const std::string& host, uint16_t) {
    return ProxyFromEnvironment(PlatformEnvironment, tls, host);
}

}  // namespace zefo::detail
