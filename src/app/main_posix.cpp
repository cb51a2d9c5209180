// Entry point of the Linux desktop program, zefo-updater.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "app/shell.h"
#include "support/crash_report_posix.h"
#include "ui/toolkit_gtk.h"

namespace {

// The program's name for the desktop: its file, its desktop entry and its icon.
constexpr char kProgramName[] = "zefo-updater";
// With this option and a title and a text, the program only shows a crash report:
// a faulting run starts the program so, because a signal handler cannot open a window.
constexpr char kShowCrashReport[] = "--show-crash-report";

[[noreturn]] void ShowCrashReport(const char* title, const char* text) {
    // Also on the standard error, where a terminal or the session's log keeps it.
    std::string lines = text;
    std::replace(lines.begin(), lines.end(), '\r', '\n');
    std::fputs(lines.c_str(), stderr);
    std::fflush(stderr);
    std::unique_ptr<zefo::ui::Toolkit> toolkit = zefo::ui::CreateGtkToolkit(kProgramName);
    toolkit->ShowMessage(title, text, zefo::ui::kMessagePlain);
    // Ends as the program does: what the desktop's libraries keep is the process's.
    std::fflush(nullptr);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string_view(argv[1]) == kShowCrashReport)
        ShowCrashReport(argv[2], argv[3]);
    // Otherwise the program reads no arguments. The report process runs this very
    // file, even when a self-update has renamed another over its name meanwhile.
    zefo::SetReportProgram("/proc/self/exe", kShowCrashReport);
    std::unique_ptr<zefo::ui::Toolkit> toolkit = zefo::ui::CreateGtkToolkit(kProgramName);
    zefo::ui::SetToolkit(toolkit.get());
    const int code = zefo::RunProgram();
    // Workers still running end with the process; nothing waits for them, and no
    // destructor runs under their feet.
    std::fflush(nullptr);
    _exit(code);
}
