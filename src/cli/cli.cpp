#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "base/file_system.h"
#include "base/path.h"
#include "cli/console.h"
#include "net/lists.h"
#include "net/network_options.h"
#include "net/tcp_client.h"
#include "support/settings.h"
#include "support/translations.h"
#include "sync/delta_fetch.h"
#include "sync/fingerprint_cache.h"
#include "sync/game_files.h"
#include "sync/installed_game.h"
#include "sync/listed_file.h"

namespace zefo::cli {

namespace {

constexpr const char* kUsage =
    "Usage: zefo COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  games                 list the server's games (folder, a tab, display name)\n"
    "  install GAME DIR      install the game with folder GAME into DIR\n"
    "  update [DIR]          bring the game installed in DIR (default: here) up to date\n"
    "  verify [DIR]          list the files that differ from the server's; exit code 1 if any\n"
    "\n"
    "Options:\n"
    "  --server HOST[:PORT]  the update server (default: the one in the settings)\n"
    "  --connections N       downloads at once, 1 to 32 (default: the settings', else 8)\n"
    "  --proxy URL           send requests through the proxy http://[USER[:PASSWORD]@]HOST[:PORT]\n"
    "                        (port 1080 unless given); none: no proxy (default: the settings',\n"
    "                        else the system's: http_proxy, https_proxy, all_proxy, no_proxy)\n"
    "  --limit-rate RATE     at most RATE bytes per second over all downloads; k, M, G for\n"
    "                        1024, 1024^2, 1024^3 (500k, 1.5M); 0: no limit (default: the settings')\n"
    "  --dry-run             with update: only list what would change, with the bytes\n"
    "                        it would fetch of each file's size\n"
    "  --full                with update: read every file again, not only changed ones\n"
    "  --quiet               no status lines and no progress, errors only\n"
    "  --help                this text\n"
    "  --version             the program's version\n"
    "\n"
    "Exit codes: 0 done, 1 some files failed or differ, 2 bad usage, 3 server\n"
    "unreachable or unknown game, 130 stopped by Ctrl-C.\n";

std::atomic<bool> interrupted{false};

void Error(const std::string& text) {
    Write(Stream::Err, "zefo: " + text + "\n");
}

int Fail(const std::string& text, int code) {
    Error(text);
    return code;
}

std::string Megabytes(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// Status lines as plain lines; on a terminal one progress line below them, redrawn
// in place at most ten times a second.
class ConsoleObserver final : public Observer {
  public:
    ConsoleObserver(bool quiet, Stream statusStream)
        : quiet_(quiet), statusStream_(statusStream), live_(!quiet && IsTerminal(Stream::Out)) {}
    ~ConsoleObserver() override { EndProgressLine(); }

    void Status(const std::string& line) override {
        if (quiet_)
            return;
        std::lock_guard guard(lock_);
        ClearLine();
        Write(statusStream_, line + "\n");
        DrawLine(true);
    }
    void Message(const std::string& title, const std::string& text) override {
        std::lock_guard guard(lock_);
        ClearLine();
        Error(title.empty() ? text : title + ": " + text);
        DrawLine(true);
    }
    void Progress(int) override {}
    void FileDone(const std::string&, bool) override {
        std::lock_guard guard(lock_);
        ++filesDone_;
        DrawLine(true);
    }
    void Received(int64_t bytes) override {
        std::lock_guard guard(lock_);
        bytes_ += bytes;
        DrawLine(false);
    }
    bool StopRequested() override { return interrupted.load(); }

    // The progress line counts against `total` files from now on.
    void StartFiles(size_t total) {
        std::lock_guard guard(lock_);
        filesTotal_ = total;
        started_ = Clock::now();
        showing_ = live_;
    }
    void EndProgressLine() {
        std::lock_guard guard(lock_);
        if (drawn_)
            Write(Stream::Out, "\n");
        drawn_ = showing_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;

    void ClearLine() {
        if (drawn_) {
            // A blank line between two carriage returns, made in one piece: GCC 12
            // at -O3 takes the concatenation of "\r" and a string for an
            // overlapping copy (-Wrestrict).
            std::string blank(static_cast<size_t>(std::max(TerminalWidth(), 1)) + 1, ' ');
            blank.front() = '\r';
            blank.back() = '\r';
            Write(Stream::Out, blank);
        }
        drawn_ = false;
    }

    void DrawLine(bool now) {
        if (!showing_)
            return;
        const auto time = Clock::now();
        if (!now && time - lastDraw_ < std::chrono::milliseconds(100))
            return;
        lastDraw_ = time;
        const double seconds = std::chrono::duration<double>(time - started_).count();
        std::string line =
            std::to_string(filesDone_) + "/" + std::to_string(filesTotal_) + " files, " + Megabytes(bytes_);
        if (seconds > 0.5) {
            line += ", " + Megabytes(static_cast<int64_t>(static_cast<double>(bytes_) / seconds)) + "/s";
            if (filesDone_ > 0 && filesDone_ < filesTotal_) {
                // Files are all that is known ahead: the lists carry no sizes.
                const auto left = static_cast<long>(seconds / static_cast<double>(filesDone_) *
                                                    static_cast<double>(filesTotal_ - filesDone_));
                char eta[32];
                std::snprintf(eta, sizeof eta, ", %ld:%02ld left", left / 60, left % 60);
                line += eta;
            }
        }
        const auto width = static_cast<size_t>(TerminalWidth() - 1);
        if (line.size() > width)
            line.resize(width);
        Write(Stream::Out, "\r" + line + std::string(width - line.size(), ' '));
        drawn_ = true;
    }

    const bool quiet_;
    const Stream statusStream_;
    const bool live_;
    std::mutex lock_;
    bool showing_ = false;
    bool drawn_ = false;
    size_t filesTotal_ = 0;
    size_t filesDone_ = 0;
    int64_t bytes_ = 0;
    Clock::time_point started_ = Clock::now();
    Clock::time_point lastDraw_{};
};

struct Options {
    std::string command;
    std::vector<std::string> operands;
    std::optional<std::string> server;
    std::optional<int> connections;
    std::optional<std::string> proxy;
    std::optional<std::string> limitRate;
    bool dryRun = false;
    bool full = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// Whether `arguments[i]` is the option `name`, as "NAME VALUE" or "NAME=VALUE". Sets
// `value` and moves `i` past it; `missing` tells of a "NAME" that ends the line.
bool TakeOption(const std::vector<std::string>& arguments,
                size_t& i,
                std::string_view name,
                std::string& value,
                bool& missing) {
    const std::string& argument = arguments[i];
    if (argument == name) {
        missing = ++i == arguments.size();
        if (!missing)
            value = arguments[i];
        return true;
    }
    if (argument.size() > name.size() && argument.compare(0, name.size(), name) == 0 && argument[name.size()] == '=') {
        value = argument.substr(name.size() + 1);
        return true;
    }
    return false;
}

// The end of a refusal: the value given, if any.
std::string NotValue(bool missing, const std::string& value) {
    return missing ? std::string() : ", not \"" + value + "\"";
}

// False (with the reason given) on an unknown option or a missing value.
bool Parse(const std::vector<std::string>& arguments, Options& options) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        bool missing = false;
        if (TakeOption(arguments, i, "--proxy", value, missing)) {
            if (missing || value.empty() || !IsProxySetting(value)) {
                Error("--proxy needs none or a proxy URL, http://[USER[:PASSWORD]@]HOST[:PORT]" +
                      NotValue(missing, value));
                return false;
            }
            options.proxy = value;
        } else if (TakeOption(arguments, i, "--limit-rate", value, missing)) {
            uint64_t rate = 0;
            if (missing || value.empty() || !ParseLimitSetting(value, rate)) {
                Error("--limit-rate needs bytes per second, such as 500k or 1.5M (0: no limit)" +
                      NotValue(missing, value));
                return false;
            }
            options.limitRate = value;
        } else if (argument == "--server" || argument.rfind("--server=", 0) == 0) {
            if (argument == "--server") {
                if (++i == arguments.size()) {
                    Error("--server needs a value");
                    return false;
                }
                options.server = arguments[i];
            } else {
                options.server = argument.substr(9);
            }
        } else if (argument == "--connections") {
            if (++i == arguments.size() || arguments[i].empty() || arguments[i].size() > 2 ||
                arguments[i].find_first_not_of("0123456789") != std::string::npos || std::stoi(arguments[i]) < 1 ||
                std::stoi(arguments[i]) > kMaxConnections) {
                Error("--connections needs a number from 1 to " + std::to_string(kMaxConnections));
                return false;
            }
            options.connections = std::stoi(arguments[i]);
        } else if (argument == "--dry-run") {
            options.dryRun = true;
        } else if (argument == "--full") {
            options.full = true;
        } else if (argument == "--quiet" || argument == "-q") {
            options.quiet = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            Error("unknown option " + argument);
            return false;
        } else if (options.command.empty()) {
            options.command = argument;
        } else {
            options.operands.push_back(argument);
        }
    }
    return true;
}

// A folder as the engine takes it: absolute, ending in a separator.
std::string FolderPath(std::string folder) {
    if (folder.empty())
        folder.push_back('.');  // not an assignment from "." (a -Wrestrict false positive of GCC 12 at -O3)
    const bool absolute = IsPathSeparator(folder[0]) || (folder.size() > 1 && folder[1] == ':');
    if (!absolute)
        folder = CurrentDirectory() + folder;
    if (!IsPathSeparator(folder.back()))
        folder += '/';
    return folder;
}

int FromList(ListResult result) {
    switch (result) {
        case ListResult::Loaded:
            return kExitDone;
        case ListResult::Stopped:
            return kExitInterrupted;
        case ListResult::Refused:
            return kExitFailed;
        default:
            return kExitServer;
    }
}

int FromRun(const RunResult& result) {
    if (result.stopped || interrupted.load())
        return kExitInterrupted;
    return result.failed > 0 ? kExitFailed : kExitDone;
}

// The settings the window program uses: the server unless given, and the language.
Settings LoadSettings(const Options& options) {
    Settings settings = ReadSettings("Updater", BuiltInLanguages());
    if (options.server)
        settings.server = *options.server;
    if (options.connections)
        settings.connections = *options.connections;
    if (options.proxy)
        settings.proxy = *options.proxy;
    if (options.limitRate)
        settings.limitRate = *options.limitRate;
    LoadTranslations(settings.lang);
    return settings;
}

// The network options of this run: the proxy and the limit of the settings or the
// command line (a limit in the settings that cannot be read limits nothing).
NetworkOptions Network(const Settings& settings) {
    return NetworkOptions{settings.proxy, MakeLimiter(settings.limitRate), {}};
}

ServerAccess Access(const Settings& settings) {
    ServerAccess access(settings.server, settings.pin);
    access.proxy = settings.proxy;
    return access;
}

GameSource Source(const Settings& settings, const std::string& gameFolder, std::vector<std::string> mirrors) {
    GameSource source{Access(settings), gameFolder, !BuiltInPublisherKey().empty(), settings.connections,
                      Network(settings)};
    source.network.mirrors = std::move(mirrors);
    return source;
}

std::optional<FileList> LoadFiles(const Settings& settings,
                                  const std::string& folder,
                                  Observer& observer,
                                  int& exitCode,
                                  std::vector<std::string>& mirrors) {
    FileList files;
    ListResult result = LoadFileList(
        Access(settings), folder, observer, [&files](FileList&& list, bool) { files = std::move(list); },
        BuiltInTrust(), &mirrors);
    exitCode = FromList(result);
    if (result != ListResult::Loaded)
        return std::nullopt;
    return files;
}

// The server's games, the list checked like the window program's.
ListResult LoadGames(const Settings& settings, Observer& observer, GameList& games) {
    return LoadGameList(
        Access(settings), observer, [&games](GameList&& list) { games = std::move(list); }, BuiltInTrust());
}

int Games(const Options& options) {
    if (!options.operands.empty())
        return Fail("games takes no operands", kExitUsage);
    Settings settings = LoadSettings(options);
    // The list is the output; status lines go beside it to the error stream.
    ConsoleObserver observer(options.quiet, Stream::Err);
    GameList games;
    ListResult result = LoadGames(settings, observer, games);
    if (result != ListResult::Loaded)
        return FromList(result);
    for (const GameEntry& game : games)
        Write(Stream::Out, game.folder + "\t" + game.name + "\n");
    return kExitDone;
}

int Install(const Options& options) {
    if (options.operands.size() != 2)
        return Fail("install takes GAME and DIR", kExitUsage);
    const std::string& folder = options.operands[0];
    Settings settings = LoadSettings(options);
    ConsoleObserver observer(options.quiet, Stream::Out);

    GameList games;
    ListResult listed = LoadGames(settings, observer, games);
    if (listed != ListResult::Loaded)
        return FromList(listed);
    const GameEntry* game = nullptr;
    for (const GameEntry& entry : games) {
        if (entry.folder == folder) {
            game = &entry;
            break;
        }
    }
    if (!game)
        return Fail("the server offers no game \"" + folder + "\"", kExitServer);

    observer.Status(Translate("GAME_INSTALLING", game->name));
    observer.Status(Translate("GAME_LOADING_FILES", game->name));
    int code = kExitDone;
    std::vector<std::string> mirrors;
    std::optional<FileList> files = LoadFiles(settings, folder, observer, code, mirrors);
    if (!files)
        return code;
    const std::string target = FolderPath(options.operands[1]);
    EnsureDirectory(target);
    if (QueryFileSize(target) != -2)
        return Fail("cannot make the folder " + options.operands[1], kExitFailed);
    observer.StartFiles(files->size());
    // Remembered under the game's name as its data/game.dat gives it, like its updates.
    RunResult result = InstallAndRemember(Source(settings, folder, std::move(mirrors)), target, *files, observer);
    observer.EndProgressLine();
    return FromRun(result);
}

int Update(const Options& options, bool verifyOnly) {
    if (options.operands.size() > 1)
        return Fail(std::string(verifyOnly ? "verify" : "update") + " takes at most one DIR", kExitUsage);
    const std::string base = FolderPath(options.operands.empty() ? "." : options.operands[0]);
    std::optional<InstalledGame> game = ReadInstalledGame(base);
    if (!game)
        return Fail("no installed game in " + base + " (data/game.dat is missing)", kExitUsage);
    // The folder on the server as the per-game settings may give it instead.
    game->folder = ReadGameFolder(game->name, game->folder);
    Settings settings = LoadSettings(options);
    ConsoleObserver observer(options.quiet || verifyOnly, Stream::Out);

    observer.Status(Translate("GAME_LOADING_FILES", game->name));
    int code = kExitDone;
    std::vector<std::string> mirrors;
    std::optional<FileList> files = LoadFiles(settings, game->folder, observer, code, mirrors);
    if (!files)
        return code;

    // The comparison the updater window makes when the list arrives. Files whose stamp
    // the remembered fingerprints know are not read again, except for verify and --full.
    std::shared_ptr<FingerprintCache> cache = FingerprintCache::ForGame(game->name, base);
    if (verifyOnly || options.full)
        cache->Clear();
    const std::vector<LocalState> states = CompareGame(base, *files, cache.get(), observer);
    std::vector<size_t> outdated;
    for (size_t i = 0; i < files->size(); ++i) {
        if (states[i] == LocalState::Same)
            continue;
        outdated.push_back(i);
        if (verifyOnly)
            Write(Stream::Out, std::string(states[i] == LocalState::Missing ? "missing" : "changed") + "\t" +
                                   (*files)[i].path + "\n");
    }
    observer.Status(Translate("FILES_NUM", std::to_string(files->size())));
    if (!files->empty())
        observer.Status(Translate("FILES_NUM_NEW", std::to_string(outdated.size())));
    if (verifyOnly)
        return outdated.empty() ? kExitDone : kExitFailed;
    if (options.dryRun) {
        // Beside each path what its update would fetch, against its whole size: the
        // indexes of files that come by their changes are fetched to know.
        EstimateUpdate(Source(settings, game->folder, mirrors), base, *files, outdated, cache.get(), observer,
                       [&files](size_t i, const FetchEstimate& estimate) {
                           const std::string cost =
                               estimate.fetch >= 0 && estimate.size >= 0
                                   ? std::to_string(estimate.fetch) + " of " + std::to_string(estimate.size) + " bytes"
                                   : "whole file";
                           Write(Stream::Out, (*files)[i].path + "\t" + cost + "\n");
                       });
        return kExitDone;
    }
    if (outdated.empty())
        return kExitDone;

    observer.Status(Translate("GAME_UPDATING"));
    observer.StartFiles(outdated.size());
    // Not the window program: a listed Update.exe is an ordinary file here.
    RunResult result =
        UpdateGame(Source(settings, game->folder, std::move(mirrors)), base, *files, "", observer, cache.get());
    observer.EndProgressLine();
    return FromRun(result);
}

}  // namespace

int Run(const std::vector<std::string>& arguments) {
    Options options;
    if (!Parse(arguments, options)) {
        Write(Stream::Err, kUsage);
        return kExitUsage;
    }
    if (options.help) {
        Write(Stream::Out, kUsage);
        return kExitDone;
    }
    if (options.version) {
        Write(Stream::Out, std::string("zefo ") + ZEFO_VERSION + "\n");
        return kExitDone;
    }
    if ((options.dryRun || options.full) && options.command != "update")
        return Fail("--dry-run and --full go with update", kExitUsage);
    if (options.command != "games" && options.command != "install" && options.command != "update" &&
        options.command != "verify") {
        if (!options.command.empty())
            Error("unknown command " + options.command);
        Write(Stream::Err, kUsage);
        return kExitUsage;
    }

    StopOnInterrupt(&interrupted);
    if (!NetworkStartup())
        return Fail("the network could not be started", kExitServer);
    int code;
    if (options.command == "games")
        code = Games(options);
    else if (options.command == "install")
        code = Install(options);
    else
        code = Update(options, options.command == "verify");
    NetworkShutdown();
    return interrupted.load() ? kExitInterrupted : code;
}

}  // namespace zefo::cli
