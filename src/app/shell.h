// The application shell: start-up, the event loop of both modes, the windows'
// event handlers and the shutdown. Everything here runs on the main thread.
#pragma once

namespace zefo {

// Runs the whole program with the toolkit set by the entry point: start-up, the
// mode's window and loop, shutdown. Returns the exit code (always 0).
int RunProgram();

// Start-up up to the mode's window: the language list, data\game.dat, settings,
// translations, network, main window, fault handler. False when the program has
// to end at once (its message was shown).
bool StartUp();
// Opens the main window, empty, titled for Updater mode. False when it cannot.
bool OpenMainWindow();
// Builds the mode's window and runs the event loop until quit or restart.
void RunMode();
// Runs loop passes until quit or restart is requested.
void RunEventLoop();
// One pass of the event loop: the hand-off step, one wait of at most 10 ms,
// dispatch. Exposed for tests.
void EventLoopPass();
// The shutdown after the loop: Update.bat, settings, restart.
void Shutdown();
// Releases the program's resources (windows, network, fault handler).
void ReleaseResources();

// Window builders and handlers (the files window exists in Updater mode only).
// Places the Updater mode's gadgets in the main window, without loading anything.
void LayOutUpdaterWindow();
void BuildUpdaterWindow();
void UpdaterHandOff();
void UpdaterCompareHandOff();
void UpdateClick();
// Places the Installer mode's gadgets in the main window, without loading anything.
void LayOutInstallerWindow();
void BuildInstallerWindow();
void InstallerHandOff();
void InstallClick();
void OpenOptionsWindow();
void SaveOptions();
void CloseOptionsWindow();
void OpenFilesWindow();
void CloseFilesWindow();

}  // namespace zefo
