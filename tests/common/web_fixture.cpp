#include "common/web_fixture.h"

#include <cstdlib>
#include <sstream>

#include "common/environment.h"
#include "common/temp_dir.h"

namespace zefo::test {

namespace {

uint16_t PortValue(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return value > 0 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

WebFixture::WebFixture() {
    const char* variable = std::getenv("ZEFO_WEB_FIXTURE");
    folder_ = HostFolder(variable ? variable : "");
    if (folder_.empty()) {
        error_ = "ZEFO_WEB_FIXTURE is not set: run through ctest, which starts web_fixture.sh";
        return;
    }
    separator_ = folder_.back();
    std::istringstream lines(ReadFileBytes(folder_ + "ports"));
    for (std::string line; std::getline(lines, line);) {
        const std::string key = line.substr(0, line.find('='));
        const std::string value = line.substr(line.find('=') + 1);
        if (key == "web")
            webPort_ = PortValue(value);
        else if (key == "proxy")
            proxyPort_ = PortValue(value);
        else if (key == "ipv6")
            ipv6_ = value == "1";
    }
    if (webPort_ == 0)
        error_ = "the web fixture in " + folder_ + " has no web server";
    if (proxyPort_ == 0) {
        proxySkip_ = ReadFileBytes(folder_ + "proxy-skip");
        if (proxySkip_.empty())
            proxySkip_ = "tinyproxy did not start";
    }
}

std::string WebFixture::WebUrl(bool overIpv6) const {
    return std::string(overIpv6 ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(webPort_);
}

std::string WebFixture::AccessLog() const {
    return ReadFileBytes(folder_ + "access.log");
}

std::string WebFixture::ProxyLog() const {
    return ReadFileBytes(folder_ + "tinyproxy.log");
}

}  // namespace zefo::test
