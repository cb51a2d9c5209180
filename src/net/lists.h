// The two list loaders. Thread entries: the argument is ignored, they return 0.
#pragma once

namespace zefo {

// Fills State().gameList from the server's game list, then sets gamesLoaded.
int GameListLoader(int argument);
// Fills State().fileList for State().gameFolder, then sets filesLoaded.
// Every end, success or failure, increments fileLoadsEnded.
int FileListLoader(int argument);

}  // namespace zefo
