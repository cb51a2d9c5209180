#include <windows.h>
// After windows.h, which it builds on.
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/wide_text_win32.h"
#include "net/proxy_config.h"
#include "net/proxy_platform.h"

namespace zefo::detail {

namespace {

// A text WinHTTP hands over, freed with GlobalFree.
class GlobalText {
  public:
    explicit GlobalText(wchar_t* text) : text_(text) {}
    ~GlobalText() {
        if (text_)
            GlobalFree(text_);
    }
    GlobalText(const GlobalText&) = delete;
    GlobalText& operator=(const GlobalText&) = delete;

    bool empty() const { return !text_ || !*text_; }
    const wchar_t* get() const { return text_ ? text_ : L""; }
    std::string Utf8() const { return text_ ? Narrow(text_) : std::string(); }

  private:
    wchar_t* text_;
};

class Session {
  public:
    Session()
        : handle_(
              WinHttpOpen(L"Zefo", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)) {}
    ~Session() {
        if (handle_)
            WinHttpCloseHandle(handle_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    HINTERNET get() const { return handle_; }

  private:
    HINTERNET handle_;
};

// What WinHTTP's automatic configuration gives a URL: the proxy text, an empty
// text for a direct connection, nullopt when it found no configuration.
std::optional<std::string> RunAutomaticConfiguration(const std::wstring& url,
                                                     bool detect,
                                                     const std::wstring& script,
                                                     bool tls) {
    Session session;
    if (!session.get())
        return std::nullopt;
    const int limit = static_cast<int>(kAutoProxyLimitMs);
    WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!script.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = script.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info))
        return std::nullopt;
    GlobalText proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || proxy.empty())
        return std::string();
    // A script may name several proxies; the first is used.
    return ProxyForScheme(proxy.Utf8(), tls);
}

struct AutomaticResult {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::optional<std::string> proxy;
};

// The automatic configuration on a thread of its own, so that detection or a
// script server that hangs costs at most kAutoProxyLimitMs; when the wait gives
// up, the thread finishes alone.
std::optional<std::string> AutomaticProxy(const std::wstring& url, bool detect, const std::wstring& script, bool tls) {
    auto result = std::make_shared<AutomaticResult>();
    try {
        std::thread([result, url, detect, script, tls] {
            std::optional<std::string> proxy = RunAutomaticConfiguration(url, detect, script, tls);
            std::lock_guard guard(result->lock);
            result->proxy = std::move(proxy);
            result->done = true;
            result->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::unique_lock lock(result->lock);
    if (!result->finished.wait_for(lock, std::chrono::milliseconds(kAutoProxyLimitMs), [&] { return result->done; }))
        return std::nullopt;
    return result->proxy;
}

}  // namespace

std::optional<std::string> PlatformEnvironment(const char* name) {
    const std::wstring wideName = Widen(name);
    std::wstring value(256, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
            return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
        if (length < value.size()) {
            value.resize(length);
            return Narrow(value);
        }
        value.resize(length);  // too small: length is the size needed, terminator included
    }
    return std::nullopt;
}

std::string PlatformSystemProxy(bool tls, const std::string& host, uint16_t port) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return {};
    GlobalText script(config.lpszAutoConfigUrl), proxy(config.lpszProxy), bypass(config.lpszProxyBypass);
    if (config.fAutoDetect || !script.empty()) {
        const std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        const std::string url =
            std::string(tls ? "https://" : "http://") + authority + ":" + std::to_string(port) + "/";
        if (std::optional<std::string> automatic = AutomaticProxy(Widen(url), config.fAutoDetect, script.get(), tls))
            return *automatic;
    }
    // The fixed proxy, also where the automatic configuration found nothing, as
    // browsers do.
    if (proxy.empty() || BypassListMatches(bypass.Utf8(), host))
        return {};
    return ProxyForScheme(proxy.Utf8(), tls);
}

}  // namespace zefo::detail
