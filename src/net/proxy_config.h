// Which proxy a request goes through. An override (the settings' proxy key, the
// command line's --proxy) beats the system's proxy: on Linux the proxy
// environment variables as curl reads them, on Windows the user's Internet
// Options as WinHTTP gives them (an auto-configuration script included).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zefo {

// A proxy to send requests through.
struct ProxyServer {
    std::string host;  // a name or a literal address (IPv6 without brackets)
    uint16_t port = 0;
    // The value of a Proxy-Authorization line ("Basic " and the base64 of
    // "user:password"), empty when the proxy URL named no user.
    std::string authorization;
};

// The port of a proxy URL that names none, as curl takes it.
constexpr uint16_t kDefaultProxyPort = 1080;
// How long the automatic configuration (detection, a configuration script) may take.
constexpr uint32_t kAutoProxyLimitMs = 5000;

// Reads a proxy URL, "[http://][user[:password]@]host[:port][/]": a literal IPv6
// host in brackets, the port kDefaultProxyPort when none is written, user and
// password percent-decoded into `authorization`. False for another scheme (no
// HTTPS or SOCKS proxies), an empty or malformed host, a bad port or a bad
// percent sign.
bool ParseProxyUrl(std::string_view text, ProxyServer& proxy);

// curl's no_proxy rule: the list holds names and addresses separated by commas
// (spaces allowed). "*" matches every host; a name matches itself and the names
// inside its domain, with or without a leading dot (example.com and
// .example.com both match www.example.com, neither nonexample.com); an IP
// address matches that address, or with "/bits" every address that agrees in
// those bits. Letter case, a final dot and ports are ignored.
bool NoProxyMatches(std::string_view list, std::string_view host);

// The proxy text the environment gives a request to `host` by curl's rules:
// https_proxy or HTTPS_PROXY for TLS, http_proxy (lower case only: a web
// server's CGI scripts get HTTP_PROXY from a request header) for plain HTTP, else
// all_proxy or ALL_PROXY, the lower-case name first and empty values skipped.
// Empty when none is set or no_proxy (else NO_PROXY) names the host.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
std::string ProxyFromEnvironment(const EnvironmentLookup& environment, bool tls, std::string_view host);

// The proxy a WinINet proxy list gives a scheme: one "host:port" for every
// scheme, or "scheme=host:port" entries separated by ';' or spaces ("https=" for
// TLS, "http=" otherwise). Empty when the list has none for the scheme.
std::string ProxyForScheme(std::string_view list, bool tls);

// True when an Internet Options bypass list names `host`: entries separated by
// ';' (or ',' and spaces), each a host pattern where '*' stands for any run of
// characters, in any letter case; "<local>" names every host without a dot.
// Loopback hosts (localhost, 127.0.0.0/8, ::1) are always bypassed unless the
// list holds "<-loopback>", as on Windows.
bool BypassListMatches(std::string_view list, std::string_view host);

enum class ProxyKind { Direct, Proxy, Invalid };

// What ChooseProxy decided.
struct ProxyChoice {
    ProxyKind kind = ProxyKind::Direct;
    ProxyServer server;  // for ProxyKind::Proxy
    std::string text;    // the proxy text it came from (also for Invalid, for messages)
};

// The proxy for a request to `host` and `port` (`tls`: https). `overrideText`, when
// not empty, names it ("none": no proxy) and beats the system's proxy; the
// environment's no_proxy still applies to it, as curl applies it to --proxy. A
// proxy text that ParseProxyUrl refuses gives ProxyKind::Invalid. Asking may
// fetch an auto-configuration script (at most kAutoProxyLimitMs): callers ask
// once per server and run.
ProxyChoice ChooseProxy(std::string_view overrideText, bool tls, std::string_view host, uint16_t port);

}  // namespace zefo
