// The platform half of proxy_config.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zefo::detail {

// The system's proxy text for a request to `host` and `port` (`tls`: https);
// empty for none.
std::string PlatformSystemProxy(bool tls, const std::string& host, uint16_t port);

// An environment variable of the process; nullopt when it is not set.
std::optional<std::string> PlatformEnvironment(const char* name);

}  // namespace zefo::detail
