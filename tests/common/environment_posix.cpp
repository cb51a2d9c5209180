#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "common/environment.h"

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

std::string HostFolder(const std::string& path) {
    return path.empty() ? std::string() : path + "/";
}

bool MakeSymbolicLink(const std::string& target, const std::string& link) {
    std::string from = target, to = link;
    std::replace(from.begin(), from.end(), '\\', '/');
    std::replace(to.begin(), to.end(), '\\', '/');
    while (to.size() > 1 && to.back() == '/')
        to.pop_back();
    return symlink(from.c_str(), to.c_str()) == 0;
}

bool MakeHardLink(const std::string& target, const std::string& link) {
    return ::link(target.c_str(), link.c_str()) == 0;
}

bool GiveToAnotherUser(const std::string& path) {
    return ::geteuid() == 0 && ::chown(path.c_str(), 4242, 4242) == 0;
}

void UseSwapCommands(const std::string& folder) {
    // The script's lines end in CR LF; the shell passes the CR on as part of the last word.
    const char* scripts[][2] = {
        {"del", "#!/bin/sh\nrm -f -- \"$(printf '%s' \"$1\" | tr -d '\\r')\"\n"},
        {"ren", "#!/bin/sh\nmv -f -- \"$1\" \"$(printf '%s' \"$2\" | tr -d '\\r')\"\n"},
    };
    for (const auto& script : scripts) {
        std::string path = folder + script[0];
        std::ofstream(path, std::ios::binary) << script[1];
        chmod(path.c_str(), 0755);
    }
    const char* path = std::getenv("PATH");
    SetEnvironment("PATH", folder + ":" + (path ? path : "/usr/bin:/bin"));
}

}  // namespace zefo::test
