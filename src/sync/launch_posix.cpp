#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "support/crash_report_posix.h"
#include "sync/launch.h"
#include "sync/launch_internal.h"

extern char** environ;

namespace zefo {

namespace {

// The program and its arguments: a path that begins with a quotation mark is a command
// line whose program is the quoted part, followed by blank-separated arguments.
std::vector<std::string> SplitCommand(const std::string& path) {
    if (path.empty() || path[0] != '"')
        return {path};
    size_t close = path.find('"', 1);
    std::vector<std::string> words{path.substr(1, close == std::string::npos ? std::string::npos : close - 1)};
    if (close == std::string::npos)
        return words;
    std::string word;
    for (size_t i = close + 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == ' ' || path[i] == '\t') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += path[i];
        }
    }
    return words;
}

// Collects the child's exit status so that it does not stay behind as a zombie,
// without making the caller wait.
void ReapLater(pid_t child) {
    try {
        std::thread([child] {
            while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread to spare: the child is reaped when this process ends.
    }
}

struct SpawnAttributes {
    posix_spawnattr_t value;
    bool ready = posix_spawnattr_init(&value) == 0;
    ~SpawnAttributes() {
        if (ready)
            posix_spawnattr_destroy(&value);
    }
};

std::atomic<uint32_t> threadCount{0};

struct ThreadStart {
    ThreadProcedure procedure;
    int argument;
};

// noexcept: an exception escaping a worker is a fault and ends in std::terminate
// here instead of unwinding into the system's thread start.
void* ThreadEntry(void* raw) noexcept {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    // A worker whose stack runs out is reported like any other fault.
    PrepareThreadForFaults();
    start->procedure(start->argument);
    launch_detail::CountThreadEnd();
    return nullptr;
}

}  // namespace

bool LaunchProgram(const std::string& path) {
    std::vector<std::string> words = SplitCommand(path);
    if (words[0].empty())
        return false;
    // The program names its files the Windows way ("Update.bat" beside "data\\game.dat").
    std::replace(words[0].begin(), words[0].end(), '\\', '/');
    // Scripts have no executable bit of their own to rely on: the shell runs them.
    if (EndsWithNoCase(words[0], ".sh") || EndsWithNoCase(words[0], ".bat"))
        words.insert(words.begin(), "/bin/sh");
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    SpawnAttributes attributes;
    if (!attributes.ready)
        return false;
    // The child starts with no blocked signals and SIGPIPE at its default, whatever this process chose.
    sigset_t none;
    sigemptyset(&none);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes.value, &none);
    posix_spawnattr_setsigdefault(&attributes.value, &pipe);
    posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = 0;
    if (posix_spawn(&child, argv[0], nullptr, &attributes.value, argv.data(), environ) != 0)
        return false;
    ReapLater(child);
    return true;
}

std::string ProgramPath() {
    std::string buffer(260, '\0');
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<size_t>(length));
            return buffer;
        }
        if (buffer.size() >= 65536)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

uint32_t StartThread(ThreadProcedure procedure, int argument) {
    if (!procedure)
        return 0;
    auto start = std::make_unique<ThreadStart>(ThreadStart{procedure, argument});
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return 0;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    launch_detail::CountThreadStart();
    int failed = pthread_create(&thread, &attributes, ThreadEntry, start.get());
    pthread_attr_destroy(&attributes);
    if (failed) {
        launch_detail::CountThreadEnd();
        return 0;
    }
    start.release();  // the thread owns it now
    return threadCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace zefo
