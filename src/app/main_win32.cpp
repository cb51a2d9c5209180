// Entry point of the Windows program.
#include <windows.h>

#include <memory>

#include "app/shell.h"
#include "ui/toolkit_win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::unique_ptr<zefo::ui::Toolkit> toolkit = zefo::ui::CreateWin32Toolkit();
    zefo::ui::SetToolkit(toolkit.get());
    int code = zefo::RunProgram();
    // Workers still running end with the process; nothing waits for them.
    ExitProcess(static_cast<UINT>(code));
}
