#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/child_process.h"

extern char** environ;

namespace zefo::test {

struct ChildProcess::State {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::thread reader;
    mutable std::mutex lock;
    std::string output, errors;
    bool ended = false;
    int code = -1;
    long peakKb = -1;
};

namespace {

void ReadBoth(ChildProcess::State* state) {
    pollfd fds[2] = {{state->out, POLLIN, 0}, {state->err, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, 1000) < 0)
            break;
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = read(fd.fd, buffer, sizeof buffer);
            if (got <= 0) {
                fd.fd = -1;
                --open;
                continue;
            }
            std::lock_guard guard(state->lock);
            (&fd == &fds[0] ? state->output : state->errors).append(buffer, static_cast<size_t>(got));
        }
    }
}

// VmHWM of /proc/<pid>/status, or -1.
long HighWaterMarkKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : state_(std::make_unique<State>()) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&state_->pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        state_->pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    state_->out = out[0];
    state_->err = err[0];
    state_->reader = std::thread(ReadBoth, state_.get());
}

ChildProcess::~ChildProcess() {
    if (state_->pid > 0 && !state_->ended)
        Wait(0);
    if (state_->reader.joinable())
        state_->reader.join();
    if (state_->out >= 0)
        close(state_->out);
    if (state_->err >= 0)
        close(state_->err);
}

bool ChildProcess::started() const {
    return state_->pid > 0;
}

bool ChildProcess::Interrupt() {
    return state_->pid > 0 && !state_->ended && kill(state_->pid, SIGINT) == 0;
}

bool ChildProcess::Kill() {
    return state_->pid > 0 && !state_->ended && kill(state_->pid, SIGKILL) == 0;
}

int ChildProcess::Wait(int timeoutMs) {
    if (state_->pid <= 0)
        return -1;
    if (state_->ended)
        return state_->code;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        // The high-water mark is read while the child runs: once it has ended its memory
        // is gone, and the rusage of a spawned child starts from this process's own peak.
        state_->peakKb = std::max(state_->peakKb, HighWaterMarkKb(state_->pid));
        pid_t done = waitpid(state_->pid, &status, WNOHANG);
        if (done == state_->pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(state_->pid, SIGKILL);
            waitpid(state_->pid, &status, 0);
            state_->ended = true;
            state_->code = -1;
            if (state_->reader.joinable())
                state_->reader.join();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    state_->ended = true;
    state_->code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (state_->reader.joinable())
        state_->reader.join();
    return state_->code;
}

std::string ChildProcess::Output() const {
    std::lock_guard guard(state_->lock);
    return state_->output;
}

std::string ChildProcess::Errors() const {
    std::lock_guard guard(state_->lock);
    return state_->errors;
}

long ChildProcess::PeakMemoryKb() const {
    return state_->peakKb;
}

std::string TestProgramFolder() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/') + 1);
}

}  // namespace zefo::test
