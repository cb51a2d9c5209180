// Entry point of the command-line client.
#include "cli/cli.h"
#include "cli/console.h"

int main(int argc, char** argv) {
    return zefo::cli::Run(zefo::cli::Arguments(argc, argv));
}
