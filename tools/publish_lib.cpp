#include "publish_lib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "base/file_system.h"
#include "base/listed_path.h"
#include "base/md5.h"
#include "net/crypto.h"
#include "net/signed_list.h"
#include "publisher_key.h"

namespace fs = std::filesystem;

namespace zefo::tools {

namespace {

// The client asks for "<folder>/<path>" in a buffer of about 2 KB; a folder name
// is at most 255 bytes, so this leaves room for both with blanks encoded.
constexpr size_t kMaxListedPathBytes = 1024;
constexpr size_t kMaxDisplayName = 100;
// Paths longer than this risk the 260-character limit of Windows once installed.
constexpr size_t kLongPathWarning = 200;
constexpr size_t kMaxSmallFile = 4096;

constexpr size_t kMaxRequestHead = 8192;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

bool IsDeviceName(const std::string& name) {
    // Windows reserves these names with any extension and ignores blanks before it.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    stem = Lower(stem);
    static const char* const kFixed[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* fixed : kFixed)
        if (stem == fixed)
            return true;
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) && stem[3] >= '0' &&
           stem[3] <= '9';
}

// Rules shared by path components and display names.
std::string CheckWindowsName(const std::string& name) {
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

bool ReadSmallFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(kMaxSmallFile + 1, '\0');
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(in.gcount()));
    return !in.bad() && out.size() <= kMaxSmallFile;
}

// Lines ended by CR LF, LF or CR; a leading UTF-8 byte-order mark is dropped.
std::vector<std::string> SplitLines(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string TextMd5(const std::string& bytes) {
    Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.FinalHex();
}

bool StartsWithListMarker(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[6] = {};
    in.read(head, sizeof head);
    return in.gcount() == 6 && std::memcmp(head, "[data]", 6) == 0;
}

std::string ErrorText(const std::error_code& error) {
    return error.message();
}

struct PlannedFile {
    std::string path;
    fs::path source;      // empty for generated content
    std::string content;  // generated content
    std::string md5;
    std::string sha256;  // only when signing
};

// Both digests of a file in one read; false when it cannot be read.
bool FileDigests(const fs::path& path, std::string& md5, std::string& sha256) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    Md5 md5Digest;
    Sha256 shaDigest;
    std::vector<char> block(1 << 16);
    for (;;) {
        ssize_t n = ::read(fd.get(), block.data(), block.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        md5Digest.Update(block.data(), static_cast<size_t>(n));
        shaDigest.Update(block.data(), static_cast<size_t>(n));
    }
    md5 = md5Digest.FinalHex();
    sha256 = shaDigest.FinalHex();
    return !sha256.empty();
}

struct GamePlan {
    std::string folder;
    std::string name;
    std::vector<PlannedFile> files;
};

class Publisher {
  public:
    Publisher(const PublishOptions& options, PublishResult& result) : options_(options), result_(result) {}

    void Run();

  private:
    void Error(const std::string& text) { result_.errors.push_back(text); }
    void Warning(const std::string& text) { result_.warnings.push_back(text); }
    void Note(const std::string& text) { result_.notes.push_back(text); }

    bool ScanSource(std::vector<std::string>& folders);
    void ScanGame(const std::string& folder);
    std::optional<std::string> DisplayName(const std::string& folder);
    void CheckRoot();
    bool PublishGame(const GamePlan& plan);
    bool PlaceFile(const PlannedFile& file, const fs::path& gameRoot);
    bool Copy(const PlannedFile& file, const fs::path& temp);
    void RemoveStale(const GamePlan& plan, const fs::path& gameRoot);
    void NoteUnlisted();
    std::string ListText(const std::string& unsignedText,
                         const std::string& target,
                         std::vector<std::string> digests,
                         const fs::path& replaced);

    const PublishOptions& options_;
    PublishResult& result_;
    fs::path source_;
    fs::path root_;
    std::vector<GamePlan> games_;
    bool linkFallbackNoted_ = false;
};

bool Publisher::ScanSource(std::vector<std::string>& folders) {
    std::error_code error;
    if (!fs::is_directory(source_, error)) {
        Error(Quote(options_.source) + ": the source is not a folder");
        return false;
    }
    fs::directory_iterator it(source_, error);
    if (error) {
        Error(Quote(options_.source) + ": " + ErrorText(error));
        return false;
    }
    for (const fs::directory_entry& entry : it) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        fs::file_status status = entry.symlink_status(error);
        if (fs::is_symlink(status))
            Error(name + ": is a symbolic link; put the game's folder itself into the source");
        else if (fs::is_directory(status))
            folders.push_back(name);
        else
            Note(name + ": not a folder, ignored");
    }
    std::sort(folders.begin(), folders.end());
    for (const auto& [folder, name] : options_.names)
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            Error(Quote(folder) + ": a display name was given for it, but the source has no such game folder");
    return true;
}

// The name from the command line or game.txt; none when neither gives one.
std::optional<std::string> Publisher::DisplayName(const std::string& folder) {
    auto named = options_.names.find(folder);
    if (named != options_.names.end())
        return named->second;
    fs::path gameTxt = source_ / folder / "game.txt";
    std::error_code error;
    if (fs::exists(gameTxt, error)) {
        std::string text;
        if (!ReadSmallFile(gameTxt, text)) {
            Error(folder + "/game.txt: cannot be read or is larger than 4 KB");
            return folder;
        }
        std::vector<std::string> lines = SplitLines(text);
        std::string name = lines.empty() ? std::string() : Trim(lines[0]);
        if (name.empty())
            Error(folder + "/game.txt: the first line (the display name) is empty");
        return name;
    }
    return std::nullopt;
}

void Publisher::ScanGame(const std::string& folder) {
    GamePlan plan;
    plan.folder = folder;
    const size_t errorsBefore = result_.errors.size();
    std::string reason = CheckNameComponent(folder);
    if (reason.empty() && Lower(folder) == "index.html")
        reason = "is the name of the game list's file";
    if (!reason.empty()) {
        Error(Quote(folder) + ": game folder name " + reason);
        return;
    }
    if (folder.find(' ') != std::string::npos)
        Warning(folder +
                ": the folder name has a blank; the client sends it unencoded in the file list request, "
                "which zefo_serve accepts but many web servers (nginx among them) refuse");
    std::optional<std::string> name = DisplayName(folder);

    const fs::path gameDir = source_ / folder;
    std::map<std::string, std::string> dirs;   // lower-case path -> path
    std::map<std::string, std::string> files;  // lower-case path -> path
    std::error_code error;
    fs::recursive_directory_iterator it(gameDir, fs::directory_options::none, error);
    if (error) {
        Error(folder + ": " + ErrorText(error));
        return;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            Error(folder + ": " + ErrorText(error));
            break;
        }
        const fs::directory_entry& entry = *it;
        const std::string component = entry.path().filename().string();
        const std::string rel = entry.path().lexically_relative(gameDir).generic_string();
        const std::string where = folder + "/" + rel;
        fs::file_status status = entry.symlink_status(error);
        if (component[0] == '.') {  // hidden files (.git, .DS_Store) are not part of a game
            if (fs::is_directory(status))
                it.disable_recursion_pending();
            continue;
        }
        if (fs::is_symlink(status)) {
            Error(where + ": is a symbolic link; publish the file itself");
            continue;
        }
        if (fs::is_directory(status)) {
            reason = CheckNameComponent(component);
            if (!reason.empty()) {
                Error(where + ": folder name " + reason);
                it.disable_recursion_pending();
                continue;
            }
            dirs.emplace(Lower(rel), rel);
            continue;
        }
        if (!fs::is_regular_file(status)) {
            Error(where + ": is not a regular file");
            continue;
        }
        if (it.depth() == 0 && component == "game.txt")
            continue;
        reason = CheckListedPath(rel);
        if (!reason.empty()) {
            Error(where + ": " + reason);
            continue;
        }
        if (it.depth() == 0 && Lower(component) == "index.html") {
            Error(where + ": index.html at the top of a game is where its file list is written");
            continue;
        }
        if (rel.size() > kLongPathWarning)
            Warning(where + ": the path is " + std::to_string(rel.size()) +
                    " characters long; installed under a deep folder it may exceed what Windows allows");
        files.emplace(Lower(rel), rel);
        plan.files.push_back({rel, entry.path(), {}, {}, {}});
    }

    // Windows folders ignore letter case: two names that differ only in case would land on one file.
    std::map<std::string, std::string> seen;
    for (const PlannedFile& file : plan.files) {
        std::string lower = Lower(file.path);
        auto [at, added] = seen.emplace(lower, file.path);
        if (!added)
            Error(folder + "/" + file.path + ": same name as " + Quote(at->second) + " on Windows (letter case)");
        auto dir = dirs.find(lower);
        if (dir != dirs.end())
            Error(folder + "/" + file.path + ": same name as the folder " + Quote(dir->second) +
                  " on Windows (letter case)");
    }

    // The installed-game marker: an installed copy starts in Updater mode for this game.
    auto marker = files.find("data/game.dat");
    if (marker != files.end()) {
        std::string text;
        std::vector<std::string> lines;
        if (ReadSmallFile(gameDir / marker->second, text))
            lines = SplitLines(text);
        if (lines.size() < 2 || lines[1] != folder)
            Error(folder + "/" + marker->second + ": its second line must be the game folder " + Quote(folder) +
                  "; an installed copy would ask the server for another game");
        else if (!name)
            name = lines[0];
        else if (lines[0] != *name)
            Warning(folder + "/" + marker->second + ": names the game " + Quote(lines[0]) +
                    ", the game list names it " + Quote(*name));
    }
    if (!name) {
        Note(folder + ": no game.txt, the display name is the folder name");
        name = folder;
    }
    plan.name = *name;
    if (!plan.name.empty()) {
        reason = CheckDisplayName(plan.name);
        if (!reason.empty())
            Error(folder + ": display name " + Quote(plan.name) + " " + reason);
        else if (std::any_of(plan.name.begin(), plan.name.end(), [](char c) { return (c & 0x80) != 0; }))
            Warning(folder + ": display name " + Quote(plan.name) +
                    " has non-ASCII characters; the client reads the game list in a Windows code page and may "
                    "show them garbled");
    }
    if (marker == files.end() && files.count("data") != 0) {
        Error(folder + "/" + files["data"] + ": a file named data leaves no room for data/game.dat");
    } else if (marker == files.end()) {
        auto dataDir = dirs.find("data");
        std::string path = (dataDir != dirs.end() ? dataDir->second : std::string("data")) + "/game.dat";
        PlannedFile generated;
        generated.path = path;
        generated.content = GameDatText(plan.name, folder);
        generated.md5 = TextMd5(generated.content);
        plan.files.push_back(generated);
    }

    if (result_.errors.size() != errorsBefore)
        return;
    for (PlannedFile& file : plan.files) {
        if (file.source.empty()) {
            if (options_.signer)
                file.sha256 = Sha256Hex(file.content);
        } else if (options_.signer) {
            if (!FileDigests(file.source, file.md5, file.sha256))
                Error(folder + "/" + file.path + ": cannot be read");
        } else {
            file.md5 = FileFingerprint(file.source.string());
            if (file.md5.empty())
                Error(folder + "/" + file.path + ": cannot be read");
        }
    }
    // Byte order keeps the lists stable between runs. data/game.dat is always listed, so the first
    // record never has the path "error", which the client would take for an error reply.
    std::sort(plan.files.begin(), plan.files.end(),
              [](const PlannedFile& a, const PlannedFile& b) { return a.path < b.path; });
    games_.push_back(std::move(plan));
}

void Publisher::CheckRoot() {
    std::error_code error;
    fs::file_status status = fs::status(root_, error);
    if (fs::exists(status) && !fs::is_directory(status)) {
        Error(Quote(options_.root) + ": the web root is not a folder");
        return;
    }
    fs::path source = fs::weakly_canonical(source_, error);
    fs::path root = fs::weakly_canonical(root_, error);
    auto inside = [](const fs::path& inner, const fs::path& outer) {
        auto rel = inner.lexically_relative(outer);
        return !rel.empty() && *rel.begin() != "..";
    };
    if (inside(root, source) || inside(source, root)) {
        Error("the web root and the source folder must not lie inside each other");
        return;
    }
    fs::path list = root_ / "index.html";
    if (fs::exists(list, error) && !StartsWithListMarker(list))
        Error(Quote(list.string()) + ": holds a page that is not a game list; refusing to replace it");
    for (const GamePlan& plan : games_) {
        fs::path gameRoot = root_ / plan.folder;
        fs::file_status gameStatus = fs::symlink_status(gameRoot, error);
        if (!fs::exists(gameStatus))
            continue;
        if (!fs::is_directory(gameStatus))
            Error(Quote(gameRoot.string()) + ": exists and is not a folder");
        else if (!fs::is_empty(gameRoot, error) && !StartsWithListMarker(gameRoot / "index.html"))
            Error(Quote(gameRoot.string()) +
                  ": exists and holds no file list of an earlier publish; refusing to write into it");
    }
}

bool Publisher::Copy(const PlannedFile& file, const fs::path& temp) {
    std::error_code error;
    if (!fs::copy_file(file.source, temp, fs::copy_options::overwrite_existing, error)) {
        Error(file.source.string() + ": cannot be copied: " + ErrorText(error));
        return false;
    }
    // Readable for a web server running as another user.
    fs::permissions(
        temp, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read, error);
    return true;
}

bool Publisher::PlaceFile(const PlannedFile& file, const fs::path& gameRoot) {
    std::error_code error;
    // Make the parent folders, clearing stale files that stand where a folder is needed now.
    fs::path parent = gameRoot;
    fs::path rel(file.path);
    for (auto part = rel.begin(); part != rel.end(); ++part) {
        if (std::next(part) == rel.end())
            break;
        parent /= *part;
        fs::file_status status = fs::symlink_status(parent, error);
        if (fs::exists(status) && !fs::is_directory(status))
            fs::remove(parent, error);
        if (!fs::is_directory(fs::symlink_status(parent, error)) && !fs::create_directory(parent, error)) {
            Error(parent.string() + ": cannot create the folder: " + ErrorText(error));
            return false;
        }
    }
    const fs::path target = gameRoot / rel;
    fs::file_status status = fs::symlink_status(target, error);
    if (fs::is_directory(status)) {
        fs::remove_all(target, error);
    } else if (fs::is_regular_file(status)) {
        bool linked = !file.source.empty() && fs::equivalent(file.source, target, error);
        if (options_.hardLink && !file.source.empty()) {
            if (linked) {
                ++result_.filesUnchanged;
                return true;
            }
        } else if (!linked) {
            uintmax_t size = file.source.empty() ? file.content.size() : fs::file_size(file.source, error);
            if (fs::file_size(target, error) == size && FileFingerprint(target.string()) == file.md5) {
                ++result_.filesUnchanged;
                return true;
            }
        }
    }

    if (file.source.empty()) {
        std::string reason = WriteFileAtomically(target.string(), file.content);
        if (!reason.empty()) {
            Error(reason);
            return false;
        }
        ++result_.filesWritten;
        return true;
    }
    fs::path temp = target.parent_path() /
                    ("." + target.filename().string() + ".zefo-tmp-" + std::to_string(static_cast<long>(::getpid())));
    fs::remove(temp, error);
    bool placed = false;
    if (options_.hardLink) {
        fs::create_hard_link(file.source, temp, error);
        placed = !error;
        if (!placed && !linkFallbackNoted_) {
            Note("hard links are not possible here (" + ErrorText(error) + "); copying instead");
            linkFallbackNoted_ = true;
        }
    }
    if (!placed && !Copy(file, temp))
        return false;
    // The list will carry the fingerprint taken before; the file must still have it.
    if (FileFingerprint(temp.string()) != file.md5) {
        fs::remove(temp, error);
        Error(file.source.string() + ": changed while it was being published; run again");
        return false;
    }
    fs::rename(temp, target, error);
    if (error) {
        Error(target.string() + ": cannot be replaced: " + ErrorText(error));
        fs::remove(temp, error);
        return false;
    }
    ++result_.filesWritten;
    return true;
}

void Publisher::RemoveStale(const GamePlan& plan, const fs::path& gameRoot) {
    std::set<std::string> keep{"index.html"};
    for (const PlannedFile& file : plan.files)
        keep.insert(file.path);
    std::vector<fs::path> staleFiles;
    std::vector<fs::path> dirs;
    std::error_code error;
    fs::recursive_directory_iterator it(gameRoot, fs::directory_options::none, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::file_status status = it->symlink_status(error);
        if (fs::is_directory(status))
            dirs.push_back(it->path());
        else if (keep.count(it->path().lexically_relative(gameRoot).generic_string()) == 0)
            staleFiles.push_back(it->path());
    }
    for (const fs::path& path : staleFiles)
        if (fs::remove(path, error))
            ++result_.filesRemoved;
    // Deepest first, so that emptied parents go too.
    std::sort(dirs.begin(), dirs.end(),
              [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    for (const fs::path& dir : dirs)
        if (fs::is_empty(dir, error))
            fs::remove(dir, error);
}

bool Publisher::PublishGame(const GamePlan& plan) {
    const fs::path gameRoot = root_ / plan.folder;
    std::error_code error;
    fs::create_directories(gameRoot, error);
    if (!fs::is_directory(gameRoot, error)) {
        Error(gameRoot.string() + ": cannot create the folder");
        return false;
    }
    // Files first, then the list that names them, then what the list no longer names:
    // a client reading either list finds every listed file.
    for (const PlannedFile& file : plan.files)
        if (!PlaceFile(file, gameRoot))
            return false;
    std::vector<ListedFile> listed;
    std::vector<std::string> digests;
    for (const PlannedFile& file : plan.files) {
        listed.push_back({file.path, file.md5});
        digests.push_back(file.sha256);
    }
    const fs::path listPath = gameRoot / "index.html";
    const std::string text = ListText(FileListText(listed), "/" + plan.folder + "/", std::move(digests), listPath);
    if (text.empty())
        return false;
    std::string reason = WriteFileAtomically(listPath.string(), text);
    if (!reason.empty()) {
        Error(reason);
        return false;
    }
    RemoveStale(plan, gameRoot);
    return true;
}

// The list as written: as it is, or with its signature block. Empty (with an
// error) when signing fails.
std::string Publisher::ListText(const std::string& unsignedText,
                                const std::string& target,
                                std::vector<std::string> digests,
                                const fs::path& replaced) {
    if (!options_.signer)
        return unsignedText;
    if (options_.expiresDays < 1 || options_.expiresDays > 3650) {
        Error("the lifetime of a signed list must be 1 to 3650 days");
        return {};
    }
    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    SignedListFields fields;
    fields.version = now;
    // A client refuses a version below one it has seen: never go back, even
    // when the clock did or two publishes fall into one second.
    std::ifstream in(replaced, std::ios::binary);
    std::string previous((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SignedListFields old;
    if (ParseSignedList(previous, old) == SignedListStatus::kOk && old.version >= fields.version)
        fields.version = old.version + 1;
    fields.expires = now + int64_t{options_.expiresDays} * 86400;
    fields.target = target;
    fields.sha256 = std::move(digests);
    const std::string block = unsignedText.substr(6, unsignedText.size() - 6 - 7);  // between [data] and [/data]
    std::string signature =
        SignedListText(fields, block, [this](std::string_view message) { return options_.signer->Sign(message); });
    if (signature.empty()) {
        Error(replaced.string() + ": the list could not be signed");
        return {};
    }
    return unsignedText + signature;
}

void Publisher::NoteUnlisted() {
    std::error_code error;
    fs::directory_iterator it(root_, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        bool listed = std::any_of(games_.begin(), games_.end(), [&](const GamePlan& g) { return g.folder == name; });
        if (!listed && it->is_directory(error) && StartsWithListMarker(it->path() / "index.html"))
            Note(name +
                 ": published earlier but no longer in the source; it is not listed any more "
                 "(remove the folder by hand)");
    }
}

void Publisher::Run() {
    source_ = fs::path(options_.source);
    root_ = fs::path(options_.root);
    std::vector<std::string> folders;
    if (!ScanSource(folders))
        return;
    for (const std::string& folder : folders)
        ScanGame(folder);
    std::map<std::string, std::string> names;
    for (const GamePlan& plan : games_) {
        auto [at, added] = names.emplace(Lower(plan.name), plan.folder);
        if (!added)
            Error(plan.folder + ": display name " + Quote(plan.name) + " is also the name of " + Quote(at->second) +
                  "; it names the game's settings folder on Windows");
    }
    if (games_.empty() && result_.errors.empty())
        Error(Quote(options_.source) + ": holds no game folders");
    CheckRoot();
    if (!result_.errors.empty())
        return;
    std::sort(games_.begin(), games_.end(), [](const GamePlan& a, const GamePlan& b) {
        return std::make_pair(Lower(a.name), a.folder) < std::make_pair(Lower(b.name), b.folder);
    });
    for (const GamePlan& plan : games_)
        result_.games.push_back({plan.name, plan.folder});
    if (options_.checkOnly)
        return;

    std::error_code error;
    fs::create_directories(root_, error);
    if (!fs::is_directory(root_, error)) {
        Error(Quote(options_.root) + ": cannot create the web root: " + ErrorText(error));
        return;
    }
    for (const GamePlan& plan : games_)
        if (!PublishGame(plan))
            return;  // the game list stays as it was
    const std::string text = ListText(GameListText(result_.games), "/", {}, root_ / "index.html");
    if (text.empty())
        return;
    std::string reason = WriteFileAtomically((root_ / "index.html").string(), text);
    if (!reason.empty())
        Error(reason);
    NoteUnlisted();
}

}  // namespace

std::string CheckNameComponent(const std::string& name) {
    if (name.empty())
        return "is empty";
    if (name == "." || name == "..")
        return "is " + Quote(name);
    if (name.size() > 255)
        return "is longer than 255 characters";
    for (unsigned char c : name) {
        if (c >= 0x80)
            return "contains a non-ASCII character; the client reads the lists in a Windows code page";
        if (c == '%' || c == '#')
            return std::string("contains ") + Quote(std::string(1, static_cast<char>(c))) +
                   ", which the client sends unencoded in its requests";
    }
    return CheckWindowsName(name);
}

std::string CheckListedPath(const std::string& path) {
    if (path.empty())
        return "the path is empty";
    size_t encoded = path.size() + 2 * static_cast<size_t>(std::count(path.begin(), path.end(), ' '));
    if (encoded > kMaxListedPathBytes)
        return "the path is longer than " + std::to_string(kMaxListedPathBytes) + " bytes";
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
    if (!IsSafeRelativePath(path))
        return "the updater refuses this path: it keeps the name for itself or the path is too deep";
    return {};
}

std::string CheckDisplayName(const std::string& name) {
    if (name.empty())
        return "is empty";
    if (name.size() > kMaxDisplayName)
        return "is longer than " + std::to_string(kMaxDisplayName) + " bytes";
    // The name also names the game's settings folder on Windows.
    return CheckWindowsName(name);
}

std::string FileListText(const std::vector<ListedFile>& files) {
    std::string text = "[data]";
    for (size_t i = 0; i < files.size(); ++i) {
        if (i != 0)
            text += '|';
        text += files[i].path + ":" + files[i].md5;
    }
    return text + "[/data]";
}

std::string GameListText(const std::vector<ListedGame>& games) {
    std::string text = "[data]";
    for (size_t i = 0; i < games.size(); ++i) {
        if (i != 0)
            text += '|';
        text += games[i].name + ":" + games[i].folder;
    }
    return text + "[/data]";
}

std::string GameDatText(const std::string& name, const std::string& folder) {
    return name + "\r\n" + folder + "\r\n";
}

PublishResult Publish(const PublishOptions& options) {
    PublishResult result;
    try {
        Publisher(options, result).Run();
    } catch (const std::exception& fault) {
        result.errors.push_back(std::string("unexpected failure: ") + fault.what());
    }
    return result;
}

std::string WriteFileAtomically(const std::string& path, const std::string& bytes) {
    fs::path target(path);
    fs::path temp = target.parent_path() /
                    ("." + target.filename().string() + ".zefo-tmp-" + std::to_string(static_cast<long>(::getpid())));
    bool written = false;
    {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid())
            return path + ": cannot be written: " + std::strerror(errno);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        written = done == bytes.size() && ::fsync(fd.get()) == 0;
    }
    if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
        std::string reason = path + ": cannot be written: " + std::strerror(errno);
        ::unlink(temp.c_str());
        return reason;
    }
    return {};
}

// ---- Static file server

bool ParseRequestLine(const std::string& line, RequestLine& out) {
    // The target is everything between the first and the last blank, so that an
    // unencoded blank in a folder name still reaches the right folder.
    size_t first = line.find(' ');
    size_t last = line.rfind(' ');
    if (first == std::string::npos || first == last || first == 0)
        return false;
    out.method = line.substr(0, first);
    out.target = line.substr(first + 1, last - first - 1);
    out.version = line.substr(last + 1);
    if (out.target.empty() || out.version.compare(0, 5, "HTTP/") != 0)
        return false;
    return std::all_of(out.method.begin(), out.method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

bool PercentDecode(const std::string& text, std::string& out) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            int high = hex(text[i + 1]);
            int low = high < 0 ? -1 : hex(text[i + 2]);
            if (low < 0)
                return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0')
            return false;
        out += c;
    }
    return true;
}

Resolved ResolveTarget(const std::string& root, const std::string& target) {
    Resolved result;
    std::string path = target.substr(0, target.find_first_of("?#"));
    std::string decoded;
    if (path.empty() || path[0] != '/' || !PercentDecode(path, decoded) || decoded.find('\\') != std::string::npos) {
        result.status = 400;
        return result;
    }
    result.folderRequest = decoded.back() == '/';
    std::string full = root;
    size_t start = 1;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos)
            end = decoded.size();
        std::string segment = decoded.substr(start, end - start);
        start = end + 1;
        if (segment.empty() || segment == ".")
            continue;
        if (segment == "..") {
            result.status = 403;
            return result;
        }
        full += "/" + segment;
    }
    struct stat info;
    if (::stat(full.c_str(), &info) != 0) {
        result.status = 404;
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        result.folderRequest = true;
        full += "/index.html";
        if (::stat(full.c_str(), &info) != 0) {
            result.status = 404;
            return result;
        }
    }
    if (!S_ISREG(info.st_mode)) {
        result.status = 404;
        return result;
    }
    // Symbolic links inside the root must not lead out of it.
    char* real = ::realpath(full.c_str(), nullptr);
    if (real == nullptr) {
        result.status = 404;
        return result;
    }
    std::string realText(real);
    std::free(real);
    std::string prefix = root.back() == '/' ? root : root + "/";
    if (realText.compare(0, prefix.size(), prefix) != 0) {
        result.status = 403;
        return result;
    }
    result.status = 200;
    result.file = realText;
    return result;
}

namespace {

std::mutex logMutex;

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 431:
            return "Request Header Fields Too Large";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Internal Server Error";
    }
}

const char* ContentType(const std::string& file) {
    std::string extension = Lower(fs::path(file).extension().string());
    if (extension == ".html" || extension == ".htm")
        return "text/html";
    if (extension == ".txt" || extension == ".cfg" || extension == ".ini")
        return "text/plain";
    return "application/octet-stream";
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string Header(int status, const char* type, long long length) {
    return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

// Printable, bounded copy of the request line for the log.
std::string ForLog(const std::string& line) {
    std::string text = line.substr(0, 200);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = '?';
    return line.size() > 200 ? text + "..." : text;
}

// Reads the request head within the time limit; the status when it cannot (0: nothing to answer).
int ReadHead(int fd, int timeoutSeconds, std::string& head) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char block[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > kMaxRequestHead)
            return 431;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return head.empty() ? 0 : 408;
        pollfd wait{fd, POLLIN, 0};
        int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return head.empty() ? 0 : 408;
        ssize_t n = ::recv(fd, block, sizeof block, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return head.empty() ? 0 : 400;
        head.append(block, static_cast<size_t>(n));
    }
    return std::min(head.find("\r\n\r\n"), head.find("\n\n")) > kMaxRequestHead ? 431 : 200;
}

void HandleConnection(int descriptor,
                      const std::string& root,
                      int timeoutSeconds,
                      const std::string& peer,
                      std::ostream& log) {
    Fd client(descriptor);
    timeval limit{timeoutSeconds, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

    std::string head;
    int status = ReadHead(client.get(), timeoutSeconds, head);
    if (status == 0)
        return;
    std::string line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    RequestLine request;
    Resolved resolved;
    if (status == 200) {
        if (!ParseRequestLine(line, request))
            status = 400;
        else if (request.version != "HTTP/1.0" && request.version != "HTTP/1.1")
            status = 505;
        else if (request.method != "GET" && request.method != "HEAD")
            status = 405;
        else
            status = (resolved = ResolveTarget(root, request.target)).status;
    }

    long long sent = 0;
    Fd file;
    struct stat info {};
    if (status == 200) {
        file.reset(::open(resolved.file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.valid() || ::fstat(file.get(), &info) != 0)
            status = 404;
    }
    if (status == 200) {
        std::string header = Header(200, ContentType(resolved.file), static_cast<long long>(info.st_size));
        bool ok = SendAll(client.get(), header.data(), header.size());
        if (ok && request.method == "GET") {
            std::vector<char> block(64 * 1024);
            for (;;) {
                ssize_t n = ::read(file.get(), block.data(), block.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0 || !SendAll(client.get(), block.data(), static_cast<size_t>(n)))
                    break;
                sent += n;
            }
        }
    } else {
        // A missing folder is answered like an update server answers an unknown game,
        // so that the client reports that instead of waiting for its time-out.
        std::string body = status == 404 && resolved.folderRequest
                               ? "[data]error:ERR_GAME[/data]"
                               : std::to_string(status) + " " + ReasonPhrase(status) + "\n";
        std::string reply = Header(status, "text/plain", static_cast<long long>(body.size()));
        if (request.method != "HEAD")
            reply += body;
        if (SendAll(client.get(), reply.data(), reply.size()) && request.method != "HEAD")
            sent = static_cast<long long>(body.size());
    }
    {
        std::lock_guard<std::mutex> lock(logMutex);
        log << peer << " \"" << ForLog(line) << "\" " << status << " " << sent << std::endl;
    }
    // Close gently: end our side and let the client finish reading before the socket goes,
    // so that unread request bytes do not turn the close into a reset that loses the reply.
    ::shutdown(client.get(), SHUT_WR);
    char drain[512];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{client.get(), POLLIN, 0};
        if (::poll(&wait, 1, 200) <= 0)
            continue;
        if (::recv(client.get(), drain, sizeof drain, 0) <= 0)
            break;
    }
}

}  // namespace

int RunServer(const ServeOptions& options, std::ostream& log) {
    std::signal(SIGPIPE, SIG_IGN);
    char* real = ::realpath(options.root.c_str(), nullptr);
    struct stat info {};
    if (real == nullptr || ::stat(real, &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::free(real);
        log << "zefo_serve: " << options.root << ": not a folder" << std::endl;
        return 1;
    }
    const std::string root(real);
    std::free(real);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (::inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1) {
        log << "zefo_serve: " << options.bind << ": not an IPv4 address" << std::endl;
        return 1;
    }
    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int yes = 1;
    if (!listener.valid() || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        log << "zefo_serve: cannot listen on " << options.bind << ":" << options.port << ": " << std::strerror(errno)
            << std::endl;
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    {
        std::lock_guard<std::mutex> lock(logMutex);
        log << "zefo_serve: serving " << root << " on http://" << options.bind << ":" << ntohs(address.sin_port) << "/"
            << std::endl;
    }

    static std::atomic<int> active{0};
    for (;;) {
        sockaddr_in peerAddress{};
        socklen_t peerLength = sizeof peerAddress;
        int client = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peerAddress), &peerLength, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno != EINTR)  // out of descriptors or similar: give the running requests time to end
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (active.load(std::memory_order_acquire) >= options.maxClients) {
            ::close(client);
            continue;
        }
        char peerText[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &peerAddress.sin_addr, peerText, sizeof peerText);
        active.fetch_add(1, std::memory_order_acq_rel);
        try {
            std::thread([client, root, timeout = options.timeoutSeconds, peer = std::string(peerText), &log] {
                try {
                    HandleConnection(client, root, timeout, peer, log);
                } catch (...) {
                }
                active.fetch_sub(1, std::memory_order_acq_rel);
            }).detach();
        } catch (...) {  // no thread to be had: drop this connection
            ::close(client);
            active.fetch_sub(1, std::memory_order_acq_rel);
        }
    }
}

}  // namespace zefo::tools
