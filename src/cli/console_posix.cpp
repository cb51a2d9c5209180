#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "cli/console.h"

namespace zefo::cli {

namespace {

std::atomic<bool>* interruptFlag = nullptr;

int Descriptor(Stream stream) {
    return stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
}

// Only async-signal-safe calls: an atomic store, or the default action on the second.
extern "C" void OnSignal(int number) {
    if (interruptFlag && !interruptFlag->exchange(true))
        return;
    signal(number, SIG_DFL);
    raise(number);
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool IsTerminal(Stream stream) {
    return isatty(Descriptor(stream)) == 1;
}

void Write(Stream stream, std::string_view text) {
    while (!text.empty()) {
        ssize_t put = write(Descriptor(stream), text.data(), text.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        text.remove_prefix(static_cast<size_t>(put));
    }
}

int TerminalWidth() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void StopOnInterrupt(std::atomic<bool>* flag) {
    interruptFlag = flag;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed pipe on the output ends a write with an error, not the program.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace zefo::cli
