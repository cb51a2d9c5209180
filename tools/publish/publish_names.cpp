#include "publish/publish_names.h"

#include <algorithm>
#include <cstring>

#include "base/listed_path.h"
#include "sync/program_names.h"

namespace zefo::tools {

namespace {

// The client asks for "<folder>/<path>" in a buffer of about 2 KB; a folder name
// is at most 255 bytes, so this leaves room for both with blanks encoded.
constexpr size_t kMaxListedPathBytes = 1024;
constexpr size_t kMaxDisplayName = 100;

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

std::string FramingReason() {
    return "holds \"[data]\", \"[/data]\", \"[sig]\" or \"[/sig]\", which frame the server's lists";
}

// Rules shared by path components and display names: what Windows or the lists cannot carry.
std::string CheckWindowsName(const std::string& name) {
    if (HoldsListFraming(name))
        return FramingReason();
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            return "contains a control character";
        if (c == ':' || c == '|')
            return std::string("contains ") + Quote(std::string(1, static_cast<char>(c))) +
                   ", which separates the fields of the server's lists";
        if (std::strchr("<>\"/\\?*", c) != nullptr)
            return std::string("contains ") + Quote(std::string(1, static_cast<char>(c))) +
                   ", which Windows does not allow in names";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "ends in a dot or blank, which Windows drops";
    if (IsDeviceName(name))
        return "is a Windows device name";
    return {};
}

}  // namespace

std::string CheckNameComponent(const std::string& name) {
    if (name.empty())
        return "is empty";
    if (name == "." || name == "..")
        return "is " + Quote(name);
    if (name.size() > 255)
        return "is longer than 255 characters";
    std::string reason = CheckWindowsName(name);
    if (!reason.empty())
        return reason;
    for (unsigned char c : name) {
        if (c >= 0x80)
            return "contains a non-ASCII character; the client reads the lists in a Windows code page";
        if (c == '%' || c == '#')
            return std::string("contains ") + Quote(std::string(1, static_cast<char>(c))) +
                   ", which the client sends unencoded in its requests";
    }
    return {};
}

std::string CheckListedPath(const std::string& path) {
    if (path.empty())
        return "the path is empty";
    size_t encoded = path.size() + 2 * static_cast<size_t>(std::count(path.begin(), path.end(), ' '));
    if (encoded > kMaxListedPathBytes)
        return "the path is longer than " + std::to_string(kMaxListedPathBytes) + " bytes";
    // Checked on the whole path too: a marker may span components ("br[/data]x").
    if (HoldsListFraming(path))
        return "the path " + Quote(path) + " " + FramingReason();
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        std::string component = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string reason = CheckNameComponent(component);
        if (!reason.empty())
            return "name " + Quote(component) + " " + reason;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    // What is left for the client to refuse: the names it keeps for itself (its swap
    // script, the new updater's copy, temporary names) and paths too deep to be a game's.
    if (!IsSafeRelativePath(path, kProgramNames))
        return "the updater refuses this path: it keeps the name for itself or the path is too deep";
    return {};
}

std::string CheckDisplayName(const std::string& name) {
    if (name.empty())
        return "is empty";
    if (name.size() > kMaxDisplayName)
        return "is longer than " + std::to_string(kMaxDisplayName) + " bytes";
    return CheckWindowsName(name);
}

}  // namespace zefo::tools
