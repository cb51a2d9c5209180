// How the engine reports to the front end that runs it (the window program, the
// command-line client, a test). The engine calls these from the thread it runs on,
// and from several threads at once where it works in parallel: implementations are
// safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace zefo {

class Observer {
  public:
    virtual ~Observer() = default;

    // One status line, already in the user's language.
    virtual void Status(const std::string& line) = 0;
    // A failure the user has to see before anything goes on (the window program
    // shows a message box with the warning icon). Returns once it was seen.
    virtual void Message(const std::string& title, const std::string& text) = 0;
    // The share of the job done, 0 to 100, reported when it changes.
    virtual void Progress(int percent) = 0;
    // One file of the job has ended, downloaded or failed.
    virtual void FileDone(const std::string& /*path*/, bool /*ok*/) {}
    // Body bytes of a download arrived.
    virtual void Received(int64_t /*bytes*/) {}
    // True when the job is to stop as soon as it can (the user pressed Ctrl-C); a
    // download in progress then fails and leaves no file behind.
    virtual bool StopRequested() { return false; }
};

// An observer that shows nothing and never asks to stop.
class SilentObserver final : public Observer {
  public:
    void Status(const std::string&) override {}
    void Message(const std::string&, const std::string&) override {}
    void Progress(int) override {}
};

}  // namespace zefo
