// The command-line client: the engine without a window, for dedicated servers, build
// machines and scripts.
//
//   zefo games [--server HOST[:PORT]]
//   zefo install GAME DIR [--server ...]
//   zefo update [DIR] [--server ...] [--dry-run]
//   zefo verify [DIR]
//   with --server, --proxy URL|none, --limit-rate RATE and --connections N for all
//
// Exit codes: 0 done, 1 some files failed or differ, 2 bad usage, 3 server unreachable
// or unknown game, 130 stopped by Ctrl-C.
#pragma once

#include <string>
#include <vector>

namespace zefo::cli {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitServer = 3;
constexpr int kExitInterrupted = 130;

// Runs one command with its arguments (without the program's name) and gives the exit code.
int Run(const std::vector<std::string>& arguments);

}  // namespace zefo::cli
