#include "net/address.h"

#include <algorithm>

#include "base/ascii.h"
#include "net/text_decode.h"

namespace zefo {

namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";
constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

// The authority after a scheme: up to the first "/".
std::string_view Authority(std::string_view rest) {
    return rest.substr(0, rest.find('/'));
}

// Host and port of an authority; a TLS one without a port text goes to 443.
void SetAuthority(std::string_view authority, bool tls, ServerAddress& address) {
    address.tls = tls;
    SplitHostPort(authority, address.host, address.port);
    // SplitHostPort gives 80 when no port is written.
    const size_t close = !authority.empty() && authority.front() == '[' ? authority.find(']') : std::string_view::npos;
    const size_t colon = authority.find(':', close == std::string_view::npos ? 0 : close);
    if (tls && (colon == std::string_view::npos || authority.back() == ':'))
        address.port = kHttpsPort;
}

// The scheme at the start of `text` and where what follows it begins: false when the
// text names neither http nor https.
bool Scheme(std::string_view text, bool& tls, size_t& rest) {
    if (StartsWithNoCase(text, kHttps)) {
        tls = true;
        rest = kHttps.size();
        return true;
    }
    if (StartsWithNoCase(text, kHttp)) {
        tls = false;
        rest = kHttp.size();
        return true;
    }
    return false;
}

std::string_view WithoutUserInformation(std::string_view authority) {
    const size_t at = authority.rfind('@');
    return at == std::string_view::npos ? authority : authority.substr(at + 1);
}

// Control bytes would end the request line or inject header lines.
bool HasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// Takes host and target as the bytes a request sends.
bool Finish(ServerAddress address, const std::string& target, Location& location) {
    std::string host8, target8;
    if (!EncodeCodePage(address.host, host8) || !EncodeCodePage(target, target8) || host8.empty() ||
        HasControlBytes(host8) || HasControlBytes(target8))
        return false;
    address.host = std::move(host8);
    location.address = std::move(address);
    location.target = std::move(target8);
    return true;
}

}  // namespace

void SplitHostPort(std::string_view authority, std::string& host, uint16_t& port) {
    size_t colon = authority.find(':');
    host = std::string(authority.substr(0, colon));
    // "[v6]" or "[v6]:port": the host is what stands between the brackets.
    const size_t close = authority.find(']');
    if (!authority.empty() && authority.front() == '[' && close != std::string_view::npos) {
        host = std::string(authority.substr(1, close - 1));
        colon = close + 1 < authority.size() && authority[close + 1] == ':' ? close + 1 : std::string_view::npos;
    }
    port = kHttpPort;
    if (colon == std::string_view::npos || colon + 1 == authority.size())
        return;
    uint16_t value = 0;
    for (size_t i = colon + 1; i < authority.size() && authority[i] >= '0' && authority[i] <= '9'; ++i)
        value = static_cast<uint16_t>(value * 10u + static_cast<unsigned>(authority[i] - '0'));
    port = value;
}

ServerAddress ParseServerAddress(std::string_view text) {
    ServerAddress address;
    bool tls = false;
    size_t rest = 0;
    if (Scheme(text, tls, rest)) {
        address.schemeGiven = true;
        text = Authority(text.substr(rest));
    }
    SetAuthority(text, tls, address);
    return address;
}

std::string HostLine(const ServerAddress& address) {
    const uint16_t own = address.tls ? kHttpsPort : kHttpPort;
    // An IPv6 literal is written in brackets, so that its colons are not taken for the port's.
    const std::string host = address.host.find(':') == std::string::npos ? address.host : "[" + address.host + "]";
    return address.port == own ? host : host + ":" + std::to_string(address.port);
}

std::string UrlEncodePath(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == ' ')
            result += "%20";
        else
            result += c;
    }
    return result;
}

bool ParseUrl(std::string_view url, Location& location) {
    bool tls = false;
    size_t rest = 0;
    if (!Scheme(url, tls, rest))
        return false;
    const size_t slash = url.find('/', rest);
    ServerAddress address;
    address.schemeGiven = true;
    SetAuthority(WithoutUserInformation(url.substr(rest, slash == std::string_view::npos ? url.npos : slash - rest)),
                 tls, address);
    return Finish(std::move(address),
                  slash == std::string_view::npos ? std::string() : std::string(url.substr(slash + 1)), location);
}

bool ResolveRedirect(const Location& from, std::string_view value, Location& next) {
    value = value.substr(0, value.find('#'));
    const std::string encoded = UrlEncodePath(value);
    bool tls = false;
    size_t rest = 0;
    Location result;
    if (encoded.empty()) {
        return false;
    } else if (Scheme(encoded, tls, rest)) {
        if (!ParseUrl(encoded, result))
            return false;
    } else if (encoded.compare(0, 2, "//") == 0) {
        if (!ParseUrl((from.address.tls ? "https:" : "http:") + encoded, result))
            return false;
    } else {
        std::string target;
        if (encoded.front() == '/') {
            target = encoded.substr(1);
        } else {
            const size_t slash = from.target.rfind('/');
            target = (slash == std::string::npos ? std::string() : from.target.substr(0, slash + 1)) + encoded;
        }
        // The target so far is already in the bytes of requests; only the new part is checked.
        if (HasControlBytes(target))
            return false;
        result.address = from.address;
        result.target = std::move(target);
    }
    if (from.address.tls && !result.address.tls)
        return false;
    result.pin = from.pin;
    next = std::move(result);
    return true;
}

bool LocateFile(std::string_view serverText,
                const std::string& pin,
                std::string_view gameFolder,
                std::string_view path,
                Location& location) {
    bool tls = false;
    size_t rest = 0;
    ServerAddress address;
    address.schemeGiven = Scheme(serverText, tls, rest);
    SetAuthority(WithoutUserInformation(Authority(serverText.substr(rest))), tls, address);
    std::string target = UrlEncodePath(gameFolder);
    target.append("/").append(UrlEncodePath(path));
    location.pin = pin;
    return Finish(std::move(address), target, location);
}

}  // namespace zefo
