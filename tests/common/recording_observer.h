// An observer for tests: records what the engine reports and can ask it to stop.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/observer.h"

namespace zefo::test {

class RecordingObserver : public Observer {
  public:
    struct Box {
        std::string title;
        std::string text;
    };

    void Status(const std::string& line) override {
        std::lock_guard guard(lock_);
        lines_.push_back(line);
    }
    void Message(const std::string& title, const std::string& text) override {
        {
            std::lock_guard guard(lock_);
            messages_.push_back({title, text});
        }
        if (onMessage)
            onMessage(Box{title, text});
    }
    void Progress(int percent) override {
        std::lock_guard guard(lock_);
        progress_.push_back(percent);
    }
    void FileDone(const std::string& path, bool ok) override {
        std::lock_guard guard(lock_);
        files_.emplace_back(path, ok);
    }
    void Received(int64_t bytes) override { received_ += bytes; }
    bool StopRequested() override { return stop_.load(); }

    void RequestStop() { stop_.store(true); }
    // Called while a message is being shown, on the engine's thread.
    std::function<void(const Box&)> onMessage;
    std::vector<std::string> Lines() const {
        std::lock_guard guard(lock_);
        return lines_;
    }
    std::vector<Box> Messages() const {
        std::lock_guard guard(lock_);
        return messages_;
    }
    std::vector<int> ProgressSteps() const {
        std::lock_guard guard(lock_);
        return progress_;
    }
    std::vector<std::pair<std::string, bool>> Files() const {
        std::lock_guard guard(lock_);
        return files_;
    }
    int64_t ReceivedBytes() const { return received_.load(); }

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::vector<Box> messages_;
    std::vector<int> progress_;
    std::vector<std::pair<std::string, bool>> files_;
    std::atomic<int64_t> received_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace zefo::test
