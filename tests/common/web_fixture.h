// The web servers of the network tests, which web_fixture.sh starts on the Linux
// side before the tests marked WEB (see zefo_test) and ends after them: nginx serving
// one web root on 127.0.0.1 and [::1] with the redirect rules of web_redirects.conf,
// and tinyproxy on 127.0.0.1. A test reads here where they are and what they logged.
#pragma once

#include <cstdint>
#include <string>

namespace zefo::test {

class WebFixture {
  public:
    // Reads the fixture folder named by ZEFO_WEB_FIXTURE.
    WebFixture();

    // Why the fixture cannot be used (not run through ctest, no web server), or empty.
    const std::string& error() const { return error_; }
    uint16_t webPort() const { return webPort_; }
    // Whether nginx also listens on [::1].
    bool ipv6() const { return ipv6_; }
    // "http://127.0.0.1:PORT" (or "http://[::1]:PORT"), without a final "/".
    std::string WebUrl(bool overIpv6 = false) const;
    // The folder nginx serves, ending in a separator.
    std::string WebRoot() const { return folder_ + "www" + separator_; }
    // nginx's access log: one "METHOD URI STATUS BODY-BYTES BYTES" line per request.
    std::string AccessLog() const;

    // 0 when tinyproxy could not start; proxySkipReason() then says why.
    uint16_t proxyPort() const { return proxyPort_; }
    const std::string& proxySkipReason() const { return proxySkip_; }
    // tinyproxy's log.
    std::string ProxyLog() const;

  private:
    std::string folder_;
    char separator_ = '/';
    std::string error_;
    uint16_t webPort_ = 0;
    uint16_t proxyPort_ = 0;
    bool ipv6_ = false;
    std::string proxySkip_;
};

}  // namespace zefo::test
