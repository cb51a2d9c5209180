// What the command-line client needs of the platform's console: its arguments, its
// two output streams, and Ctrl-C.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace zefo::cli {

enum class Stream { Out, Err };

// The program's arguments after its own name, as UTF-8 (Windows: from the wide
// command line, which keeps characters the console's code page lacks).
std::vector<std::string> Arguments(int argc, char** argv);
// True when the stream is an interactive terminal (not a file or a pipe).
bool IsTerminal(Stream stream);
// Writes UTF-8 text as it stands; a Windows console gets it as UTF-16.
void Write(Stream stream, std::string_view text);
// The terminal's width in columns, 80 when unknown.
int TerminalWidth();
// From now on Ctrl-C (and on Windows Ctrl-Break) sets `flag` instead of ending the
// program; a second Ctrl-C ends it at once.
void StopOnInterrupt(std::atomic<bool>* flag);

}  // namespace zefo::cli
