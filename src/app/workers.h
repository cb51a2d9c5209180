// The program's four workers, each on a thread of its own: the argument is ignored,
// they return 0. They run the engine with the window as its observer and hand their
// results to the event loop through the flags and lists of AppState.
#pragma once

namespace zefo {

// Fills State().gameList from the server's game list, then sets gamesLoaded.
int GameListLoader(int argument);
// Fills State().fileList for State().gameFolder, then sets filesLoaded.
// Every end, success or failure, increments fileLoadsEnded.
int FileListLoader(int argument);
// Compares every file of State().fileList with the game folder's, off the window's
// thread, marks the entries up to date and counts the others; then sets filesCompared.
int CompareWorker(int argument);
// Installs every file of the game loaded for gameFolder into installFolder.
int InstallWorker(int argument);
// Downloads every chosen listed file that is missing or differs, including a new
// updater (beside the running one, swapped in at exit: self_update.h).
int UpdateWorker(int argument);

}  // namespace zefo
