// Shared set-up of the install and update worker tests: the headless toolkit with
// the main window's gadgets, English texts, a scripted server and a real folder.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "support/translations.h"
#include "sync/launch.h"
#include "ui/toolkit_headless.h"

namespace zefo::test {

// A complete 200 reply carrying `body`.
inline std::string FileReply(const std::string& body) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

inline std::string NotFoundReply() {
    return HttpResponse("HTTP/1.1 404 Not Found", {"Content-Length: 9"}, "not found");
}

// Announces more bytes than it sends, then closes.
inline std::string TruncatedReply(const std::string& body) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size() + 100)}, body);
}

// Runs a worker procedure on a thread of its own; Finish waits for it with a bound.
class WorkerRun {
  public:
    explicit WorkerRun(int (*procedure)(int))
        : thread_([this, procedure] {
              procedure(1);
              finished_.store(true, std::memory_order_release);
          }) {}
    ~WorkerRun() {
        if (thread_.joinable())
            thread_.detach();
    }
    WorkerRun(const WorkerRun&) = delete;
    WorkerRun& operator=(const WorkerRun&) = delete;

    bool Finish(int timeoutMs = 30000) {
        if (!ui::HeadlessToolkit::WaitUntil([this] { return finished_.load(std::memory_order_acquire); }, timeoutMs))
            return false;
        thread_.join();
        return true;
    }

  private:
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

enum class Layout { Updater, Installer };

class WorkerFixture : public ::testing::Test {
  protected:
    explicit WorkerFixture(Layout layout) : layout_(layout) {}

    void SetUp() override {
        ResetState();
        AppState& state = State();
        state.languageList = {{7, "de", "Deutsch"}, {9, "en", "English"}, {11, "fi", "Suomi"}};
        ResetTranslations();
        LoadTranslations("en");
        {
            std::lock_guard guard(state.textLock);
            // One download at a time: these tests follow the files in list order.
            state.settings = Settings{server.Host(), "en", "", 1};
        }
        ASSERT_TRUE(server.listening());

        ui::SetToolkit(&ui);
        ui.OpenWindow(mainWindow, 0, 0, 400, 325, "Zefo Updater",
                      ui::kWindowCentered | ui::kWindowTitleBar | ui::kWindowSystemMenu | ui::kWindowMinimize);
        if (layout_ == Layout::Updater) {
            ui.ButtonGadget(actionButton, 4, 300, 128, 20, "Update");
            ui.ButtonGadget(filesButton, 136, 300, 128, 20, "Show files");
            ui.ButtonGadget(optionsButton, 268, 300, 128, 20, "Settings");
            ui.TextListGadget(statusList, 5, 5, 390, 265);
            ui.ProgressBarGadget(progressBar, 5, 275, 390, 20, 0, 100);
        } else {
            ui.SetWindowTitle(mainWindow, "Zefo Installer");
            ui.DropDownGadget(gameCombo, 5, 5, 390, 20);
            ui.ButtonGadget(actionButton, 4, 300, 194, 20, "Install");
            ui.ButtonGadget(optionsButton, 202, 300, 194, 20, "Settings");
            ui.ProgressBarGadget(progressBar, 5, 275, 390, 20, 0, 100);
            ui.TextListGadget(statusList, 5, 30, 390, 240);
        }
    }

    void TearDown() override {
        // The next test replaces the state the workers use.
        EXPECT_TRUE(WaitForThreads(30000));
        ui::SetToolkit(nullptr);
    }

    static void SetTexts(const std::function<void(AppState&)>& change) {
        AppState& state = State();
        std::lock_guard guard(state.textLock);
        change(state);
    }

    std::vector<std::string> Lines() const { return ui.Items(statusList); }
    int Progress() const { return ui.Gadget(progressBar).position; }
    bool ButtonEnabled() const { return ui.Gadget(actionButton).enabled; }
    // The request line the server got on connection `index`.
    std::string RequestLine(size_t index) const {
        std::string request = server.Request(index);
        return request.substr(0, request.find("\r\n"));
    }

    static std::string Loading(const std::string& path) { return "Loading \"" + path + "\"..."; }
    static std::string CouldNotLoad(const std::string& path) { return "Could not load \"" + path + "\"."; }

    Layout layout_;
    ui::HeadlessToolkit ui;
    ScriptedServer server;
};

}  // namespace zefo::test
