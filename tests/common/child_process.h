// Another program run by a test: its output collected, its end awaited with a bound,
// and Ctrl-C sent to it as a user would.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zefo::test {

class ChildProcess {
  public:
    // Starts `program` with `arguments`; started() tells whether it runs.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    // Sends Ctrl-C (POSIX: SIGINT; Windows: Ctrl-Break to its process group).
    bool Interrupt();
    // Ends it at once, as a power cut or the system's killer would (POSIX: SIGKILL).
    bool Kill();
    // Waits at most `timeoutMs` for the end; the exit code, or -1 when it did not end
    // (it is then killed).
    int Wait(int timeoutMs);
    // What it wrote so far (complete after Wait).
    std::string Output() const;
    std::string Errors() const;
    // The most memory it held at once, in kilobytes, as Wait saw it (sampled while it
    // waits, so growth in the child's last moments may be missed); -1 where the
    // platform does not tell (Windows).
    long PeakMemoryKb() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The folder of the running test program, ending in a separator.
std::string TestProgramFolder();

}  // namespace zefo::test
