// The windows at scale, timed with the program's own code on the real toolkit:
//  - the files window (OpenFilesWindow, CloseFilesWindow) with N listed files,
//    three in four to update and one in four unchanged;
//  - the status list, filled through SetStatus by a worker thread while the
//    event loop runs and a second thread presses a button every 100 ms.
// Usage: window_bench [--files N,N,...] [--rounds R] [--status LINES]
//   (defaults: 2000,20000,100000; 3 rounds, the median is printed; 200000 lines;
//   --files 0 or --status 0 skips that part). Exit code 0 when every window
//   showed what it had to.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/shell.h"
#include "app/status.h"
#include "support/translations.h"
#include "ui/toolkit.h"
#include "window_bench_platform.h"

namespace zefo {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// What the loop does between two of the program's passes: every message that is
// waiting, the repaints included.
void Settle(ui::Toolkit& ui) {
    for (int i = 0; i < 3; ++i)
        ui.WaitEvent(0);
}

std::string ListedPath(int i) {
    char path[64];
    std::snprintf(path, sizeof(path), "data/folder%03d/file%06d.pak", i % 500, i);
    return path;
}

// The updater's main window as it stands once the file list is loaded: the
// program's own window and gadgets, with no loader started.
void OpenUpdaterWindow(ui::Toolkit& ui) {
    OpenMainWindow();
    LayOutUpdaterWindow();
    Settle(ui);
}

bool FilesWindow(ui::Toolkit& ui, int files, int rounds) {
    AppState& state = State();
    state.fileList.clear();
    state.fileList.reserve(static_cast<size_t>(files));
    int toUpdate = 0;
    for (int i = 0; i < files; ++i) {
        FileEntry& entry = state.fileList.emplace_back(ListedPath(i), "0123456789abcdef0123456789abcdef");
        entry.upToDate.store(i % 4 == 3 ? 1 : 0);
        toUpdate += i % 4 == 3 ? 0 : 1;
    }
    std::vector<double> opens, closes;
    bool right = true;
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < state.fileList.size(); ++i)
            state.fileList[i].chosen.store(i % 10 == 5 ? 0 : 1);
        const auto start = Clock::now();
        OpenFilesWindow();
        Settle(ui);
        const auto opened = Clock::now();
        // The rows as the user sees them; then the user clears the first box.
        right = right && ui.CountItems(newFilesList) == toUpdate && ui.CountItems(oldFilesList) == files - toUpdate;
        if (toUpdate > 0) {
            const int last = toUpdate - 1;
            const int lastEntry = last / 3 * 4 + last % 3;
            // Entry 5 (row 4) is the first one not chosen.
            right = right && ui.GetItemText(newFilesList, last) == ListedPath(lastEntry) &&
                    ui.GetItemState(newFilesList, 0) == ui::kItemChecked &&
                    (toUpdate < 5 || ui.GetItemState(newFilesList, 4) == 0);
            ui.SetItemState(newFilesList, 0, 0);
        }
        const auto closing = Clock::now();
        CloseFilesWindow();
        Settle(ui);
        const auto closed = Clock::now();
        if (toUpdate > 0)
            right = right && state.fileList[0].chosen.load() == 0 && state.fileList[1].chosen.load() == 1;
        opens.push_back(MillisecondsBetween(start, opened));
        closes.push_back(MillisecondsBetween(closing, closed));
    }
    std::printf("files window, %6d entries (%d to update): open %8.1f ms, close %7.1f ms (median of %d)%s\n", files,
                toUpdate, Median(opens), Median(closes), rounds, right ? "" : "  WRONG ROWS OR CHECK MARKS");
    std::fflush(stdout);
    return right;
}

bool StatusList(ui::Toolkit& ui, int lines) {
    void* list = ui.NativeHandle(statusList);
    void* button = ui.NativeHandle(optionsButton);
    bench::CountPaints(list);
    const int paintsBefore = bench::PaintsCounted();
    const int linesBefore = ui.CountItems(statusList);

    std::atomic<bool> writing{true};
    std::atomic<int64_t> pressedAt{0};  // Clock ticks of the press not yet seen, 0 when none waits
    std::vector<double> answers;
    const auto start = Clock::now();
    std::thread worker([&] {
        for (int i = 0; i < lines; ++i)
            SetStatus("Loading \"" + ListedPath(i / 2) + (i % 2 ? "\" done" : "\"..."));
        writing.store(false, std::memory_order_release);
    });
    std::thread presser([&] {
        while (writing.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            int64_t none = 0;
            if (pressedAt.compare_exchange_strong(none, Clock::now().time_since_epoch().count()))
                bench::PressFromOutside(button);
        }
    });
    double longestPass = 0;
    auto passStart = Clock::now();
    while (writing.load(std::memory_order_acquire)) {
        const int code = ui.WaitEvent(10);
        const auto now = Clock::now();
        longestPass = std::max(longestPass, MillisecondsBetween(passStart, now));
        passStart = now;
        if (code == ui::kEventGadget && ui.EventGadget() == optionsButton) {
            const int64_t pressed = pressedAt.exchange(0);
            if (pressed)
                answers.push_back(MillisecondsBetween(Clock::time_point(Clock::duration(pressed)), now));
        }
    }
    const auto written = Clock::now();
    worker.join();
    presser.join();
    const int paints = bench::PaintsCounted() - paintsBefore;
    // The rest of the lines and the last repaint reach the screen.
    const auto shownBy = written + std::chrono::seconds(30);
    while (Clock::now() < shownBy && !(ui.CountItems(statusList) == linesBefore + lines && bench::LastLineInView(list)))
        ui.WaitEvent(10);
    const auto shown = Clock::now();
    const bool right = ui.CountItems(statusList) == linesBefore + lines && bench::LastLineInView(list) &&
                       ui.GetState(statusList) == -1;
    const double seconds = MillisecondsBetween(start, written) / 1000;
    std::printf(
        "status list, %d lines from a worker: %.2f s (%.0f lines/s); longest loop pass %.0f ms; %zu presses answered "
        "in %.0f ms median, %.0f ms at worst; %d repaints of the list; last line in view %.0f ms after the last "
        "call%s\n",
        lines, seconds, lines / std::max(seconds, 1e-9), longestPass, answers.size(), Median(answers),
        answers.empty() ? 0.0 : *std::max_element(answers.begin(), answers.end()), paints,
        MillisecondsBetween(written, shown), right ? "" : "  WRONG: LINES MISSING OR LAST LINE NOT SHOWN");
    return right;
}

std::vector<int> Numbers(const char* text) {
    std::vector<int> numbers;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        long n = std::strtol(p, &end, 10);
        if (end == p)
            break;
        if (n > 0)
            numbers.push_back(static_cast<int>(n));
        p = *end == ',' ? end + 1 : end;
    }
    return numbers;
}

}  // namespace
}  // namespace zefo

int main(int argc, char** argv) {
    std::vector<int> files{2000, 20000, 100000};
    int rounds = 3;
    int lines = 200000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--files")
            files = zefo::Numbers(argv[i + 1]);
        else if (option == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--status")
            lines = std::max(0, std::atoi(argv[i + 1]));
    }
    std::unique_ptr<zefo::ui::Toolkit> toolkit = zefo::bench::CreatePlatformToolkit();
    zefo::ui::SetToolkit(toolkit.get());
    zefo::LoadTranslations("en");
    zefo::State().updaterMode.store(1);
    zefo::OpenUpdaterWindow(*toolkit);
    if (!toolkit->NativeHandle(zefo::statusList)) {
        std::fprintf(stderr, "no window: is there a display?\n");
        return 1;
    }
    bool right = true;
    for (int n : files)
        right = zefo::FilesWindow(*toolkit, n, rounds) && right;
    if (lines > 0)
        right = zefo::StatusList(*toolkit, lines) && right;
    toolkit->CloseWindow(zefo::mainWindow);
    zefo::ui::SetToolkit(nullptr);
    return right ? 0 : 1;
}
