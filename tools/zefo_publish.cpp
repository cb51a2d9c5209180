// zefo_publish: publishes the games of a source folder into a static web root.
#include <cstring>
#include <iostream>
#include <string>

#include "publish_lib.h"

namespace {

const char kUsage[] =
    "usage: zefo_publish [--link] [--check] [--name FOLDER=NAME]... SOURCE ROOT\n"
    "\n"
    "Publishes every sub-folder of SOURCE as a game into the web root ROOT:\n"
    "  ROOT/index.html           the game list\n"
    "  ROOT/FOLDER/index.html    the file list of one game\n"
    "  ROOT/FOLDER/...           the game's files\n"
    "A game's display name is the first line of SOURCE/FOLDER/game.txt (or --name).\n"
    "Any web server that answers a folder with its index.html can then serve ROOT.\n"
    "\n"
    "  --link               hard-link the files instead of copying them\n"
    "  --check              check the source, write nothing\n"
    "  --name FOLDER=NAME   display name of the game in SOURCE/FOLDER\n";

}  // namespace

int main(int argc, char** argv) {
    zefo::tools::PublishOptions options;
    std::string positional[2];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--link") {
            options.hardLink = true;
        } else if (arg == "--check") {
            options.checkOnly = true;
        } else if (arg == "--name" && i + 1 < argc) {
            std::string value = argv[++i];
            size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0) {
                std::cerr << "zefo_publish: --name needs FOLDER=NAME\n";
                return 2;
            }
            options.names[value.substr(0, equals)] = value.substr(equals + 1);
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "zefo_publish: unknown option " << arg << "\n" << kUsage;
            return 2;
        } else if (count < 2) {
            positional[count++] = arg;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (count != 2) {
        std::cerr << kUsage;
        return 2;
    }
    options.source = positional[0];
    options.root = positional[1];

    zefo::tools::PublishResult result = zefo::tools::Publish(options);
    for (const std::string& note : result.notes)
        std::cout << "note: " << note << "\n";
    for (const std::string& warning : result.warnings)
        std::cerr << "warning: " << warning << "\n";
    for (const std::string& error : result.errors)
        std::cerr << "error: " << error << "\n";
    if (!result.ok()) {
        std::cerr << "zefo_publish: " << result.errors.size() << " error(s)"
                  << (options.checkOnly ? "" : "; the game list was not changed") << "\n";
        return 1;
    }
    for (const zefo::tools::ListedGame& game : result.games)
        std::cout << (options.checkOnly ? "ok: " : "published: ") << game.folder << "/  \"" << game.name << "\"\n";
    if (!options.checkOnly)
        std::cout << "zefo_publish: " << result.games.size() << " game(s) in " << options.root << ": "
                  << result.filesWritten << " file(s) written, " << result.filesUnchanged << " unchanged, "
                  << result.filesRemoved << " removed\n";
    return 0;
}
