#include "app/status.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/ids.h"
#include "ui/toolkit_headless.h"

namespace zefo {
namespace {

class StatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ui::SetToolkit(&ui);
        ui.OpenWindow(mainWindow, 0, 0, 400, 325, "Zefo Updater", 0);
        ui.TextListGadget(statusList, 5, 5, 390, 265);
    }
    void TearDown() override { ui::SetToolkit(nullptr); }
    ui::HeadlessToolkit ui;
};

TEST_F(StatusTest, LinesAppendInOrderWithTheLastInViewAndNothingSelected) {
    SetStatus("first");
    SetStatus("");  // a missing translation shows as an empty line
    SetStatus("third");
    auto list = ui.Gadget(statusList);
    EXPECT_EQ(list.items, (std::vector<std::string>{"first", "", "third"}));
    EXPECT_EQ(list.selected, -1);
    EXPECT_EQ(list.scrolledTo, 2);

    for (int i = 0; i < 500; ++i)
        SetStatus("line " + std::to_string(i));
    list = ui.Gadget(statusList);
    EXPECT_EQ(list.scrolledTo, 502);
    EXPECT_EQ(list.selected, -1);
}

TEST_F(StatusTest, ConcurrentCallersLoseAndMixNoLine) {
    constexpr int kThreads = 6;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                SetStatus("thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(20, 'x'));
        });
    }
    for (auto& thread : threads)
        thread.join();

    auto list = ui.Gadget(statusList);
    ASSERT_EQ(list.items.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::string> seen(list.items.begin(), list.items.end());
    EXPECT_EQ(seen.size(), list.items.size());
    for (int t = 0; t < kThreads; ++t) {
        // Each thread's own lines keep their order.
        int expected = 0;
        std::string prefix = "thread " + std::to_string(t) + " line ";
        for (const auto& line : list.items) {
            if (line.rfind(prefix, 0) == 0) {
                EXPECT_EQ(line, prefix + std::to_string(expected) + std::string(20, 'x'));
                ++expected;
            }
        }
        EXPECT_EQ(expected, kLines);
    }
    EXPECT_EQ(list.selected, -1);
    EXPECT_EQ(list.scrolledTo, kThreads * kLines - 1);
}

}  // namespace
}  // namespace zefo
