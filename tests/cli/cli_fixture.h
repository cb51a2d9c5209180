// The command-line client run as a user runs it: the real program in a child process
// against the scripted server, with settings of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/environment.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"

namespace zefo::test {

inline std::string FileReply(const std::string& body) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

struct Outcome {
    int code;
    std::string out;
    std::string err;
    long peakKb = -1;  // the program's peak resident size; -1 where unknown
};

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.listening());
        std::filesystem::create_directory(std::filesystem::u8path(work / "data"));
        // Settings of this test only; English texts.
        SetEnvironment("XDG_CONFIG_HOME", config.path());
        SetEnvironment("LANG", "en_US.UTF-8");
        SetEnvironment("LC_ALL", "");
    }

    static std::string Program() { return TestProgramFolder() + ZEFO_CLI_RELATIVE; }

    Outcome Zefo(std::vector<std::string> arguments, int timeoutMs = 60000) {
        arguments.push_back("--server");
        arguments.push_back(server.Host());
        ChildProcess child(Program(), arguments);
        EXPECT_TRUE(child.started()) << Program();
        int code = child.Wait(timeoutMs);
        return {code, child.Output(), child.Errors(), child.PeakMemoryKb()};
    }

    // Everything below `folder`, so that a stray or partial file shows.
    static std::vector<std::string> Contents(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(std::filesystem::u8path(folder)))
            names.push_back(entry.path().lexically_relative(std::filesystem::u8path(folder)).generic_string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScriptedServer server;
    TempDir config;
    TempDir work;
};

}  // namespace zefo::test
