// Where things are on a server: server texts, URLs, host and port, the Host line, and
// the encoding of paths. Every server text and every URL the engine uses is read here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zefo {

// Where a server text leads.
struct ServerAddress {
    std::string host;
    uint16_t port = 80;
    bool tls = false;
    bool schemeGiven = false;  // the text began with "http://" or "https://"
};

// One file on a server: the address, the request target without its leading "/"
// (as bytes to send: spaces encoded, text in the code page of requests), and for
// https the pin of the server's key (tls.h), or empty.
struct Location {
    ServerAddress address;
    std::string target;
    std::string pin;
};

// Splits "host" or "host:port" at the first ":", or "[v6]" or "[v6]:port" after the
// "]" (the host is then the address without its brackets). The port is the decimal digits
// up to the first non-digit, reduced to 16 bits (no digits give 0); without a
// port text it is 80.
void SplitHostPort(std::string_view authority, std::string& host, uint16_t& port);

// Reads a server text. "https://host[:port]" (port 443) is TLS, "http://host[:port]"
// (port 80) plain; the scheme is matched in any letter case, and the authority ends
// at the first "/". Without a scheme the text is "host" or "host:port", split as
// SplitHostPort does.
ServerAddress ParseServerAddress(std::string_view text);

// The value of a Host line for the address: the host (an IPv6 literal in brackets),
// with ":port" unless the port is the scheme's own (443 for TLS, 80 otherwise).
std::string HostLine(const ServerAddress& address);

// Every space replaced by "%20".
std::string UrlEncodePath(std::string_view text);

// Reads a download URL, "http://" or "https://" (any letter case), an authority and
// an optional "/" and target. User information before an "@" is left out (it is never
// sent). The URL is UTF-8 and its bytes go out in the code page of requests. False
// for another scheme, an empty host, text that is not UTF-8 and control bytes.
bool ParseUrl(std::string_view url, Location& location);

// Where a redirect leads from `from`: `value` (a Location line's value) is an
// absolute http or https URL, "//authority/...", "/path", or a path relative to the
// folder of from's target; a fragment is dropped and spaces are encoded. The pin stays
// (a redirect cannot lead round it). False for a value ParseUrl would refuse, and for
// one that leads from https to plain http.
bool ResolveRedirect(const Location& from, std::string_view value, Location& next);

// The location of `path` (a listed path) in `gameFolder` on the server of
// `serverText`, reached with `pin`: the authority of the server text (up to its first
// "/", without user information), then gameFolder + "/" + path with every space
// encoded. False as for ParseUrl.
bool LocateFile(std::string_view serverText,
                const std::string& pin,
                std::string_view gameFolder,
                std::string_view path,
                Location& location);

}  // namespace zefo
