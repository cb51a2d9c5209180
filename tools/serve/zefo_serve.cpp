// zefo_serve: a small static file server for local runs of the update protocol.
#include <cstdlib>
#include <iostream>
#include <string>

#include "serve/serve.h"

namespace {

const char kUsage[] =
    "usage: zefo_serve --root DIR --port N [--bind ADDRESS] [--timeout SECONDS]\n"
    "\n"
    "Serves the files below DIR over HTTP/1.0 and HTTP/1.1 GET; a folder is answered\n"
    "with its index.html. Binds to 127.0.0.1 unless told otherwise; --port 0 takes any\n"
    "free port (the first line of output names it). A request must arrive within\n"
    "--timeout seconds (default 10). One line per request.\n";

}  // namespace

int main(int argc, char** argv) {
    zefo::tools::ServeOptions options;
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << kUsage;
            return 2;
        }
        std::string value = argv[++i];
        if (arg == "--root") {
            options.root = value;
        } else if (arg == "--bind") {
            options.bind = value;
        } else if (arg == "--timeout") {
            char* end = nullptr;
            long seconds = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || seconds < 1 || seconds > 3600) {
                std::cerr << "zefo_serve: bad timeout " << value << "\n";
                return 2;
            }
            options.timeoutSeconds = static_cast<int>(seconds);
        } else if (arg == "--port") {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 0 || port > 65535) {
                std::cerr << "zefo_serve: bad port " << value << "\n";
                return 2;
            }
            options.port = static_cast<uint16_t>(port);
            havePort = true;
        } else {
            std::cerr << "zefo_serve: unknown option " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (options.root.empty() || !havePort) {
        std::cerr << kUsage;
        return 2;
    }
    return zefo::tools::RunServer(options, std::cout);
}
