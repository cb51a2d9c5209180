#include "net/proxy_config.h"

#include <cstddef>
#include <vector>

#include "base/ascii.h"
#include "net/ip_address.h"
#include "net/proxy_platform.h"

namespace zefo {

namespace {

constexpr std::string_view kHttpScheme = "http://";

// The pieces of `list` between any of the `separators`, empty ones left out.
std::vector<std::string_view> Split(std::string_view list, std::string_view separators) {
    std::vector<std::string_view> pieces;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find_first_of(separators, at);
        if (end == std::string_view::npos)
            end = list.size();
        if (end > at)
            pieces.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}

bool PercentDecode(std::string_view text, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int high = HexDigitValue(text[i + 1]), low = HexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        text.push_back(kDigits[(group >> 18) & 63]);
        text.push_back(kDigits[(group >> 12) & 63]);
        text.push_back(i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=');
        text.push_back(i + 2 < bytes.size() ? kDigits[group & 63] : '=');
    }
    return text;
}

// A host name of letters, digits, '-', '_' and '.'.
bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '_' && c != '.')
            return false;
    }
    return true;
}

// A host without brackets, final dot or letter case.
std::string PlainHost(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    return LowerAsciiText(host);
}

// A list entry without its port: "name:80" and "[::1]:80" lose it, a bare IPv6
// address keeps its colons.
std::string_view WithoutPort(std::string_view entry) {
    if (!entry.empty() && entry.front() == '[') {
        size_t close = entry.find(']');
        return close == std::string_view::npos ? entry : entry.substr(1, close - 1);
    }
    size_t colon = entry.find(':');
    if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos)
        return entry.substr(0, colon);
    return entry;
}

// Does the entry "address[/bits]" hold the literal address `host`?
template <typename Bytes>
bool AddressMatches(std::string_view entry, const Bytes& host, bool (*parse)(std::string_view, Bytes&)) {
    unsigned bits = 0;
    size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
        std::string_view digits = entry.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return false;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
            bits = bits * 10 + static_cast<unsigned>(c - '0');
        }
        entry = entry.substr(0, slash);
    }
    Bytes address{};
    return parse(WithoutPort(entry), address) && SamePrefix(host.data(), address.data(), host.size(), bits);
}

// '*' stands for any run of characters; both texts in lower case.
bool GlobMatches(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, starAt = std::string_view::npos, resumeAt = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            resumeAt = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starAt != std::string_view::npos) {
            p = starAt + 1;
            t = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::optional<std::string> FirstSet(const EnvironmentLookup& environment, const char* lower, const char* upper) {
    for (const char* name : {lower, upper}) {
        if (!name)
            continue;
        std::optional<std::string> value = environment(name);
        if (value && !value->empty())
            return value;
    }
    return std::nullopt;
}

}  // namespace

bool ParseProxyUrl(std::string_view text, ProxyServer& proxy) {
    proxy = {};
    text = TrimBlanks(text);
    if (text.find("://") != std::string_view::npos) {
        if (!StartsWithNoCase(text, kHttpScheme))
            return false;
        text.remove_prefix(kHttpScheme.size());
    }
    text = text.substr(0, text.find_first_of("/?#"));

    size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view credentials = text.substr(0, at);
        text.remove_prefix(at + 1);
        size_t colon = credentials.find(':');
        std::string user, password;
        if (!PercentDecode(credentials.substr(0, colon), user) ||
            (colon != std::string_view::npos && !PercentDecode(credentials.substr(colon + 1), password)))
            return false;
        if (!user.empty())
            proxy.authorization = "Basic " + Base64(user + ":" + password);
    }

    std::string_view host = text, port;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        host = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
        port = rest.empty() ? rest : rest.substr(1);
        Ipv6Bytes address;
        if (!ParseIpv6(host, address))
            return false;
    } else {
        size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
        if (!IsHostName(host))
            return false;
    }

    uint32_t number = port.empty() ? kDefaultProxyPort : 0;
    if (port.size() > 5)
        return false;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    if (number == 0 || number > 65535)
        return false;
    proxy.host = std::string(host);
    proxy.port = static_cast<uint16_t>(number);
    return true;
}

bool NoProxyMatches(std::string_view list, std::string_view hostText) {
    const std::string host = PlainHost(hostText);
    if (host.empty())
        return false;
    Ipv4Bytes v4{};
    Ipv6Bytes v6{};
    const bool isV4 = ParseIpv4(host, v4);
    const bool isV6 = !isV4 && ParseIpv6(host, v6);
    for (std::string_view piece : Split(list, ", \t\r\n")) {
        if (piece == "*")
            return true;
        const std::string entry = LowerAsciiText(piece);
        if (isV4) {
            if (AddressMatches<Ipv4Bytes>(entry, v4, ParseIpv4))
                return true;
            continue;
        }
        if (isV6) {
            if (AddressMatches<Ipv6Bytes>(entry, v6, ParseIpv6))
                return true;
            continue;
        }
        std::string_view name = WithoutPort(entry);
        if (!name.empty() && name.back() == '.')
            name.remove_suffix(1);
        if (!name.empty() && name.front() == '.')
            name.remove_prefix(1);
        if (name.empty())
            continue;
        if (host == name)
            return true;
        if (host.size() > name.size() && host.compare(host.size() - name.size(), name.size(), name) == 0 &&
            host[host.size() - name.size() - 1] == '.')
            return true;
    }
    return false;
}

std::string ProxyFromEnvironment(const EnvironmentLookup& environment, bool tls, std::string_view host) {
    std::optional<std::string> proxy =
        tls ? FirstSet(environment, "https_proxy", "HTTPS_PROXY") : FirstSet(environment, "http_proxy", nullptr);
    if (!proxy)
        proxy = FirstSet(environment, "all_proxy", "ALL_PROXY");
    if (!proxy)
        return {};
    std::optional<std::string> bypass = FirstSet(environment, "no_proxy", "NO_PROXY");
    if (bypass && NoProxyMatches(*bypass, host))
        return {};
    return *proxy;
}

std::string ProxyForScheme(std::string_view list, bool tls) {
    const std::string_view wanted = tls ? "https=" : "http=";
    std::vector<std::string_view> entries = Split(list, "; \t\r\n");
    for (std::string_view entry : entries) {
        if (entry.find('=') == std::string_view::npos)
            return std::string(entry);
        if (StartsWithNoCase(entry, wanted))
            return std::string(entry.substr(wanted.size()));
    }
    return {};
}

bool BypassListMatches(std::string_view list, std::string_view hostText) {
    const std::string host = PlainHost(hostText);
    if (host.empty())
        return false;
    bool loopbackToo = false;
    for (std::string_view piece : Split(list, ";, \t\r\n")) {
        std::string entry = LowerAsciiText(piece);
        if (entry == "<-loopback>") {
            loopbackToo = true;
            continue;
        }
        if (entry == "<local>") {
            Ipv6Bytes v6{};
            if (host.find('.') == std::string::npos && !ParseIpv6(host, v6))
                return true;
            continue;
        }
        for (std::string_view scheme : {"http://", "https://"}) {
            if (entry.rfind(scheme, 0) == 0)
                entry.erase(0, scheme.size());
        }
        if (GlobMatches(WithoutPort(entry), host))
            return true;
    }
    Ipv4Bytes v4{};
    Ipv6Bytes v6{}, loopback{};
    loopback[15] = 1;
    return !loopbackToo &&
           (host == "localhost" || (ParseIpv4(host, v4) && v4[0] == 127) || (ParseIpv6(host, v6) && v6 == loopback));
}

ProxyChoice ChooseProxy(std::string_view overrideText, bool tls, std::string_view host, uint16_t port) {
    ProxyChoice choice;
    std::string text;
    overrideText = TrimBlanks(overrideText);
    if (!overrideText.empty()) {
        if (LowerAsciiText(overrideText) == "none")
            return choice;
        std::optional<std::string> bypass = FirstSet(detail::PlatformEnvironment, "no_proxy", "NO_PROXY");
        if (bypass && NoProxyMatches(*bypass, host))
            return choice;
        text = std::string(overrideText);
    } else {
        text = detail::PlatformSystemProxy(tls, PlainHost(host), port);
        if (text.empty())
            return choice;
    }
    choice.text = text;
    choice.kind = ParseProxyUrl(text, choice.server) ? ProxyKind::Proxy : ProxyKind::Invalid;
    return choice;
}

}  // namespace zefo
