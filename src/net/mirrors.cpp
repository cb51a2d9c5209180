#include "net/mirrors.h"

#include <algorithm>

#include "base/ascii.h"

namespace zefo {

namespace {

constexpr std::string_view kLineOpen = "[mirrors]";
constexpr std::string_view kLineClose = "[/mirrors]";

bool IsAlphaNumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// RFC 3986's path characters without "%", which is checked on its own.
bool IsPathCharacter(char c) {
    return IsAlphaNumeric(c) || std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

bool TakeScheme(std::string_view& url) {
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (StartsWithNoCase(url, scheme)) {
            url.remove_prefix(scheme.size());
            return true;
        }
    }
    return false;
}

bool TakeHost(std::string_view& url) {
    size_t end = 0;
    if (!url.empty() && url[0] == '[') {
        end = url.find(']');
        if (end == std::string_view::npos || end < 3)
            return false;
        const std::string_view address = url.substr(1, end - 1);
        if (address.find(':') == std::string_view::npos || !std::all_of(address.begin(), address.end(), [](char c) {
                return HexDigitValue(c) >= 0 || c == ':' || c == '.';
            }))
            return false;
        ++end;
    } else {
        while (end < url.size() && (IsAlphaNumeric(url[end]) || url[end] == '.' || url[end] == '-'))
            ++end;
        if (end == 0)
            return false;
    }
    url.remove_prefix(end);
    return true;
}

bool TakePort(std::string_view& url) {
    if (url.empty() || url[0] != ':')
        return true;
    url.remove_prefix(1);
    size_t digits = 0;
    unsigned port = 0;
    while (digits < url.size() && url[digits] >= '0' && url[digits] <= '9' && digits < 5)
        port = port * 10 + static_cast<unsigned>(url[digits++] - '0');
    url.remove_prefix(digits);
    return digits > 0 && port >= 1 && port <= 65535;
}

bool IsPath(std::string_view path) {
    if (path.empty())
        return true;
    if (path[0] != '/')
        return false;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%') {
            if (i + 2 >= path.size() || HexDigitValue(path[i + 1]) < 0 || HexDigitValue(path[i + 2]) < 0)
                return false;
            i += 2;
        } else if (!IsPathCharacter(path[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsMirrorUrl(std::string_view url) {
    if (url.empty() || url.size() > kMaxMirrorUrl)
        return false;
    return TakeScheme(url) && TakeHost(url) && TakePort(url) && IsPath(url);
}

std::vector<std::string> UsableMirrors(const std::vector<std::string>& urls) {
    std::vector<std::string> usable;
    for (const std::string& url : urls) {
        if (usable.size() == kMaxMirrors)
            break;
        if (IsMirrorUrl(url) && std::find(usable.begin(), usable.end(), url) == usable.end())
            usable.push_back(url);
    }
    return usable;
}

std::string MirrorsLineText(const std::vector<std::string>& mirrors) {
    if (mirrors.empty())
        return {};
    std::string text(kLineOpen);
    for (size_t i = 0; i < mirrors.size(); ++i) {
        if (i != 0)
            text += '|';
        text += mirrors[i];
    }
    text += kLineClose;
    text += '\n';
    return text;
}

std::vector<std::string> MirrorsFromHead(std::string_view head) {
    // The last line before the block: what comes before it is the status line and
    // the headers.
    const size_t open = head.rfind(kLineOpen);
    if (open == std::string_view::npos)
        return {};
    std::string_view rest = head.substr(open + kLineOpen.size());
    const size_t close = rest.find(kLineClose);
    if (close == std::string_view::npos)
        return {};
    rest = rest.substr(0, close);
    std::vector<std::string> urls;
    // Only so many are looked at: a hostile head cannot make this allocate much.
    while (urls.size() < 4 * kMaxMirrors) {
        const size_t bar = rest.find('|');
        urls.emplace_back(rest.substr(0, std::min(bar, rest.size())).substr(0, kMaxMirrorUrl + 1));
        if (bar == std::string_view::npos)
            break;
        rest.remove_prefix(bar + 1);
    }
    return UsableMirrors(urls);
}

MirrorSet::MirrorSet(const std::vector<std::string>& mirrors) {
    for (std::string url : UsableMirrors(mirrors)) {
        if (url.back() != '/')
            url += '/';
        Mirror mirror;
        // The target is in the bytes of requests already; ParseUrl takes it as it is.
        mirror.aside = !ParseUrl(url, mirror.root);
        mirror.root.pin.clear();
        mirrors_.push_back(std::move(mirror));
    }
}

MirrorSet::Mirror* MirrorSet::Find(int index) {
    return index >= 0 && static_cast<size_t>(index) < mirrors_.size() ? &mirrors_[static_cast<size_t>(index)] : nullptr;
}

std::vector<std::pair<int, Location>> MirrorSet::Sources(const Location& server) {
    std::vector<std::pair<int, Location>> sources;
    std::lock_guard guard(lock_);
    const size_t count = mirrors_.size();
    const size_t first = count == 0 ? 0 : next_++ % count;
    for (size_t step = 0; step < count; ++step) {
        const size_t index = (first + step) % count;
        const Mirror& mirror = mirrors_[index];
        if (mirror.aside)
            continue;
        Location location = mirror.root;
        location.target += server.target;
        sources.emplace_back(static_cast<int>(index), std::move(location));
    }
    sources.emplace_back(kServer, server);
    return sources;
}

void MirrorSet::SetAside(int index) {
    std::lock_guard guard(lock_);
    if (Mirror* mirror = Find(index)) {
        mirror->aside = true;
        mirror->trying = false;
    }
}

void MirrorSet::Done(int index, bool served) {
    std::lock_guard guard(lock_);
    if (Mirror* mirror = Find(index)) {
        mirror->trying = false;
        mirror->served = mirror->served || served;
    }
}

bool MirrorSet::Use(int index) {
    std::lock_guard guard(lock_);
    Mirror* mirror = Find(index);
    if (!mirror)
        return index == kServer;
    if (mirror->aside || (!mirror->served && mirror->trying))
        return false;
    mirror->trying = !mirror->served;
    ++mirror->tries;
    return true;
}

int MirrorSet::Tries(int index) const {
    std::lock_guard guard(lock_);
    return index >= 0 && static_cast<size_t>(index) < mirrors_.size() ? mirrors_[static_cast<size_t>(index)].tries : 0;
}

bool MirrorSet::AnyInUse() const {
    std::lock_guard guard(lock_);
    return std::any_of(mirrors_.begin(), mirrors_.end(), [](const Mirror& mirror) { return !mirror.aside; });
}

}  // namespace zefo
