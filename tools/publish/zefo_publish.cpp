// zefo_publish: publishes the games of a source folder into a static web root.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "net/mirrors.h"
#include "publish/publish.h"
#include "publish/publisher_key.h"

namespace {

const char kUsage[] =
    "usage: zefo_publish [--link] [--check] [--full] [--no-indexes] [--cache DIR] [--name FOLDER=NAME]...\n"
    "                    [--sign KEYFILE [--expires DAYS] [--signed-format 1]] [--mirror URL]...\n"
    "                    SOURCE ROOT\n"
    "       zefo_publish keygen KEYFILE\n"
    "\n"
    "Publishes every sub-folder of SOURCE as a game into the web root ROOT:\n"
    "  ROOT/index.html           the game list\n"
    "  ROOT/FOLDER/index.html    the file list of one game\n"
    "  ROOT/FOLDER/...           the game's files\n"
    "  ROOT/FOLDER/.zefo/        chunk indexes of its files of 1 MiB and more, so that\n"
    "                            clients can fetch only the changed parts of a file\n"
    "A game's display name is the first line of SOURCE/FOLDER/game.txt (or --name).\n"
    "Any web server that answers a folder with its index.html can then serve ROOT.\n"
    "\n"
    "  --link               hard-link the files instead of copying them\n"
    "  --check              check the source, write nothing\n"
    "  --full               read every file again, whatever the fingerprint cache says\n"
    "  --no-indexes         write no chunk indexes (and remove those of earlier runs)\n"
    "  --cache DIR          keep the fingerprint cache in DIR (default: ROOT.zefo-cache\n"
    "                       beside ROOT; never inside ROOT or SOURCE)\n"
    "  --name FOLDER=NAME   display name of the game in SOURCE/FOLDER\n"
    "  --sign KEYFILE       sign every list with the private key in KEYFILE\n"
    "  --expires DAYS       clients refuse a signed list after DAYS days (default 30)\n"
    "  --signed-format 1    sign in the older format (no file sizes), which clients\n"
    "                       built before format 2 read; they refuse format 2 lists\n"
    "  --mirror URL         another web server with a copy of ROOT (http:// or https://,\n"
    "                       host, port and path; up to 16): every file list names it, and\n"
    "                       clients may load the game's files from URL/FOLDER/... too.\n"
    "                       Lists always come from ROOT's own server\n"
    "\n"
    "keygen makes a signing key pair: the private key goes into the new file KEYFILE\n"
    "(readable by you only; keep it off the web server), the public key is printed on\n"
    "one line. Build the program with -DZEFO_PUBLISHER_KEY=<that line> so that it\n"
    "accepts only lists signed with this key.\n";

int Keygen(const std::string& path) {
    std::string publicKey;
    std::string reason = zefo::tools::GenerateKey(path, publicKey);
    if (!reason.empty()) {
        std::cerr << "zefo_publish: " << reason << "\n";
        return 1;
    }
    std::cout << publicKey << "\n";
    std::cerr << "zefo_publish: private key written to " << path
              << "; the public key above goes into ZEFO_PUBLISHER_KEY\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        if (argc != 3) {
            std::cerr << kUsage;
            return 2;
        }
        return Keygen(argv[2]);
    }
    zefo::tools::PublishOptions options;
    std::unique_ptr<zefo::tools::SigningKey> signer;
    bool expiresGiven = false;
    bool formatGiven = false;
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
        } else if (arg == "--full") {
            options.full = true;
        } else if (arg == "--no-indexes") {
            options.indexMinSize = -1;
        } else if (arg == "--cache" && i + 1 < argc) {
            options.cache = argv[++i];
        } else if (arg == "--name" && i + 1 < argc) {
            std::string value = argv[++i];
            size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0) {
                std::cerr << "zefo_publish: --name needs FOLDER=NAME\n";
                return 2;
            }
            options.names[value.substr(0, equals)] = value.substr(equals + 1);
        } else if (arg == "--sign" && i + 1 < argc) {
            std::string reason;
            signer = zefo::tools::SigningKey::Load(argv[++i], reason);
            if (!signer) {
                std::cerr << "zefo_publish: " << reason << "\n";
                return 2;
            }
            options.signer = signer.get();
        } else if (arg == "--expires" && i + 1 < argc) {
            std::string value = argv[++i];
            bool digits =
                !value.empty() && value.size() <= 4 && value.find_first_not_of("0123456789") == std::string::npos;
            options.expiresDays = digits ? std::stoi(value) : 0;
            if (options.expiresDays < 1 || options.expiresDays > 3650) {
                std::cerr << "zefo_publish: --expires needs a number of days from 1 to 3650\n";
                return 2;
            }
            expiresGiven = true;
        } else if (arg == "--mirror" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (!zefo::IsMirrorUrl(value)) {
                std::cerr << "zefo_publish: --mirror needs an http:// or https:// URL of a host, an optional port "
                             "and path (no user, query, blanks or \"|[]\"), not \""
                          << value << "\"\n";
                return 2;
            }
            options.mirrors.push_back(value);
            if (options.mirrors.size() > zefo::kMaxMirrors) {
                std::cerr << "zefo_publish: at most " << zefo::kMaxMirrors << " mirrors\n";
                return 2;
            }
        } else if (arg == "--signed-format" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value != "1" && value != "2") {
                std::cerr << "zefo_publish: --signed-format needs 1 or 2\n";
                return 2;
            }
            options.signedFormat = value[0] - '0';
            formatGiven = true;
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
    if ((expiresGiven || formatGiven) && !signer) {
        std::cerr << "zefo_publish: --expires and --signed-format apply only with --sign\n";
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
                  << result.filesRemoved << " removed; " << result.filesRead << " read, " << result.filesFromCache
                  << " from the fingerprint cache; chunk indexes of " << result.indexesWritten << " file(s) written, "
                  << result.indexesKept << " kept, " << result.indexesRemoved << " index file(s) removed\n";
    return 0;
}
