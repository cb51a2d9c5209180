// The run installing and updating share, driven by a decider of the test's own.
#include "sync/download_run.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/net_test.h"
#include "common/recording_observer.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"

namespace zefo::test {
namespace {

// Fetches "a.bin" with a plan of two spans, skips "b.bin", and counts the refused path.
class SpanDecider final : public Decider {
  public:
    Choice Decide(size_t index, const SafeFolder&, const std::string&) override {
        return index == 1 ? Choice::Skip : Choice::Download;
    }
    Plan PlanFile(size_t index, const SafeFolder&, const std::string&) override {
        planned.push_back(index);
        return Plan{Span{0, 10, 0, 0}, Span{10, 90, kRemoteSource, 10}};
    }
    bool CountsWhenRefused(size_t) override { return true; }
    void Done(size_t index, bool ok) override {
        std::lock_guard guard(lock);
        outcomes[index] = ok;
    }

    std::vector<size_t> planned;
    std::mutex lock;
    std::map<size_t, bool> outcomes;
};

class DownloadRunTest : public NetTest {
  protected:
    ScriptedServer server;
    GameSource source{server.Host(), "game"};
    TempDir folder;
};

// Until ranges run, a file planned as spans arrives as one verified download of the
// whole file; the decider hears of every counted outcome.
TEST_F(DownloadRunTest, APlanOfSpansEndsAsTheWholeVerifiedFile) {
    const std::string body = Pattern(100, 3);
    FileList files;
    files.emplace_back("a.bin", Md5Of(body));
    files.emplace_back("b.bin", Md5Of("b"));
    files.emplace_back("../out.bin", Md5Of("c"));
    server.EnqueueReply(HttpResponse("HTTP/1.1 200 OK", {"Content-Length: 100"}, body));
    SpanDecider decider;
    const RunResult result = DownloadRun(source, files, observer, nullptr, 2.0f).Run(folder.path(), decider);
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(ReadFileBytes(folder / "a.bin"), body);
    EXPECT_EQ(server.Request(0).find("Range:"), std::string::npos);
    EXPECT_EQ(decider.planned, std::vector<size_t>{0});
    EXPECT_EQ(decider.outcomes, (std::map<size_t, bool>{{0, true}, {2, false}}));
    EXPECT_EQ(WholeFilePlan(-1), (Plan{Span{0, kToTheEnd, kRemoteSource, 0}}));
}

}  // namespace
}  // namespace zefo::test
