#include "support/ini_file.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/path.h"
#include "base/safe_folder.h"
#include "support/ini_file_io.h"
#include "support/ini_text.h"

namespace zefo {

namespace {

// Settings files are a few lines long; anything beyond this is not one and is left alone.
constexpr size_t kMaxFileSize = 16u << 20;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The calling thread's open settings file.
class IniState {
  public:
    std::mutex lock;

    bool Open(const std::string& path) {
        Close();
        isOpen_ = true;
        path_ = path;
        ini_io::Opened opened = ini_io::OpenExisting(path);
        readOnly_ = !opened.writable;
        if (!opened.file.valid()) {
            withMark_ = true;
            return false;
        }
        std::string bytes;
        if (!ini_io::ReadAll(opened.file, bytes, kMaxFileSize)) {
            // Unreadable or far too large: nothing to show, and nothing may replace it.
            isOpen_ = false;
            path_.clear();
            return false;
        }
        file_ = std::move(opened.file);
        lines_ = ParseIniBytes(bytes, withMark_);
        return true;
    }

    bool SelectGroup(const std::string& name) {
        if (!isOpen_) {
            pending_.reset();
            return false;
        }
        if (name.empty()) {
            group_ = kTop;
            pending_.reset();
            return true;
        }
        // Group and key names match in any letter case of A to Z; other bytes must be equal.
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].kind == IniLine::Kind::Group && EqualsNoCase(lines_[i].name, name)) {
                group_ = static_cast<ptrdiff_t>(i);
                pending_.reset();
                return true;
            }
        }
        pending_ = name;
        return false;
    }

    std::string ReadString(const std::string& key, const std::string& fallback) const {
        if (!isOpen_ || pending_)
            return fallback;
        std::optional<size_t> found = FindKey(key);
        if (!found)
            return fallback;
        std::string_view value = lines_[*found].value;
        while (!value.empty() && IsBlank(value.front()))
            value.remove_prefix(1);
        while (!value.empty() && IsBlank(value.back()))
            value.remove_suffix(1);
        return std::string(value);
    }

    void WriteString(const std::string& key, const std::string& value) {
        if (!isOpen_)
            return;
        if (pending_) {
            lines_.push_back({IniLine::Kind::Group, SingleLine(*pending_), {}});
            group_ = static_cast<ptrdiff_t>(lines_.size() - 1);
            pending_.reset();
        }
        if (std::optional<size_t> found = FindKey(key)) {
            lines_[*found].name = SingleLine(key);
            lines_[*found].value = SingleLine(value);
        } else {
            lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(GroupEnd()),
                          {IniLine::Kind::Key, SingleLine(key), SingleLine(value)});
        }
        modified_ = true;
    }

    void Close() {
        if (isOpen_ && modified_)
            WriteBack();
        file_.Reset();
        lines_.clear();
        path_.clear();
        pending_.reset();
        group_ = kTop;
        isOpen_ = modified_ = readOnly_ = withMark_ = false;
    }

  private:
    static constexpr ptrdiff_t kTop = -1;

    size_t GroupBegin() const { return group_ == kTop ? 0 : static_cast<size_t>(group_) + 1; }

    // The index of the next group line after the current group's lines, or the end.
    size_t GroupEnd() const {
        size_t i = GroupBegin();
        while (i < lines_.size() && lines_[i].kind != IniLine::Kind::Group)
            ++i;
        return i;
    }

    std::optional<size_t> FindKey(const std::string& key) const {
        for (size_t i = GroupBegin(), end = GroupEnd(); i < end; ++i) {
            if (lines_[i].kind == IniLine::Kind::Key && EqualsNoCase(lines_[i].name, key))
                return i;
        }
        return std::nullopt;
    }

    // The new content goes to a file beside the old one, which then takes its place in
    // one step: a crash or a full disk leaves the old file whole, never a cut-off one.
    // Neither the temporary file nor the settings file is ever written through a link.
    void WriteBack() {
        if (file_.valid() && readOnly_)
            return;  // opened for reading only: the changes are lost
        const std::string content = RenderIni(lines_, withMark_);
        size_t cut = path_.size();
        while (cut > 0 && !IsPathSeparator(path_[cut - 1]))
            --cut;
        const std::string name = path_.substr(cut);
        SafeFolder folder;
        if (folder.Open(cut == 0 ? "." : path_.substr(0, cut), "", false) != SafeFolder::OpenResult::Opened)
            return;
        FileReplacement out;
        if (out.Begin(folder, name, name + ".tmp")) {
            if (file_.valid())
                ini_io::CopyPermissions(file_, out.file());
            if (!out.Write(content.data(), content.size()))
                return;
            file_.Reset();  // an open file cannot be replaced on Windows
            if (out.Commit())
                return;
        }
        // The folder takes no new file, or something holds the file so that it cannot
        // be replaced (but perhaps still written): write it in place.
        file_.Reset();
        NativeFile again = folder.OpenForWriting(name);
        if (again.valid())
            ini_io::Rewrite(again, content);
    }

    bool isOpen_ = false;
    bool modified_ = false;
    bool readOnly_ = false;
    bool withMark_ = false;
    std::string path_;
    ini_io::File file_;
    std::vector<IniLine> lines_;
    ptrdiff_t group_ = kTop;
    std::optional<std::string> pending_;
};

// Each thread's open file lives here from its first use until IniClose. thread_local
// holds only a plain pointer: destructors of thread_local objects are not dependable
// with every Windows toolchain. Files still open when the process ends are closed then.
struct Registry {
    std::mutex lock;
    std::vector<std::unique_ptr<IniState>> states;
};

Registry& States() {
    static Registry* registry = new Registry;  // never destroyed: reachable until the very end
    return *registry;
}

thread_local IniState* current = nullptr;

IniState& ThreadFile() {
    if (!current) {
        auto state = std::make_unique<IniState>();
        current = state.get();
        Registry& registry = States();
        std::lock_guard hold(registry.lock);
        registry.states.push_back(std::move(state));
    }
    return *current;
}

// Runs `action` on the calling thread's file under its lock (which only the closing at
// the end of the process ever contends for).
template <typename Action>
auto WithState(Action action) {
    IniState& state = ThreadFile();
    std::lock_guard hold(state.lock);
    return action(state);
}

struct CloseAtExit {
    CloseAtExit() { States(); }
    ~CloseAtExit() {
        Registry& registry = States();
        std::lock_guard hold(registry.lock);
        for (auto& state : registry.states) {
            std::lock_guard holdState(state->lock);
            state->Close();
        }
    }
} closeAtExit;

}  // namespace

bool IniOpen(const std::string& path) {
    return WithState([&](IniState& state) { return state.Open(path); });
}

bool IniSelectGroup(const std::string& name) {
    return WithState([&](IniState& state) { return state.SelectGroup(name); });
}

std::string IniReadString(const std::string& key, const std::string& fallback) {
    return WithState([&](IniState& state) { return state.ReadString(key, fallback); });
}

void IniWriteString(const std::string& key, const std::string& value) {
    WithState([&](IniState& state) { state.WriteString(key, value); });
}

void IniClose() {
    if (!current)
        return;
    WithState([](IniState& state) { state.Close(); });
    Registry& registry = States();
    std::lock_guard hold(registry.lock);
    std::erase_if(registry.states, [](const auto& state) { return state.get() == current; });
    current = nullptr;
}

}  // namespace zefo
