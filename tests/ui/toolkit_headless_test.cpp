#include "ui/toolkit_headless.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace zefo::ui {
namespace {

class HeadlessTest : public ::testing::Test {
  protected:
    HeadlessToolkit ui;
};

TEST_F(HeadlessTest, GadgetsBelongToTheWindowOpenedLastAndDieWithIt) {
    ASSERT_NE(ui.OpenWindow(1, 0, 0, 400, 325, "Main", kWindowCentered | kWindowTitleBar), 0);
    ASSERT_NE(ui.ButtonGadget(2, 4, 300, 128, 20, "Update"), 0);
    ASSERT_NE(ui.OpenWindow(3, 0, 0, 300, 80, "Options", kWindowCentered), 0);
    ASSERT_NE(ui.TextFieldGadget(15, 70, 30, 225, 20, "host"), 0);

    EXPECT_EQ(ui.Gadget(2).window, 1);
    EXPECT_EQ(ui.Gadget(15).window, 3);
    EXPECT_EQ(ui.GetText(15), "host");

    ui.CloseWindow(3);
    EXPECT_FALSE(ui.HasGadget(15));
    EXPECT_TRUE(ui.HasGadget(2));
    EXPECT_EQ(ui.GetText(15), "");
    EXPECT_EQ(ui.CountItems(15), 0);
    EXPECT_EQ(ui.DisableGadget(15, 1), 0);

    // Without any open window a gadget cannot be created.
    ui.CloseWindow(1);
    EXPECT_EQ(ui.ButtonGadget(4, 0, 0, 10, 10, "x"), 0);
}

TEST_F(HeadlessTest, DropDownSelectionAndTexts) {
    ui.OpenWindow(1, 0, 0, 400, 325, "", 0);
    ui.DropDownGadget(1, 5, 5, 390, 20);
    EXPECT_EQ(ui.GetState(1), -1);
    EXPECT_EQ(ui.GetText(1), "");
    ui.AddItem(1, -1, "Alpha");
    ui.AddItem(1, -1, "Beta");
    ui.SetState(1, 1);
    EXPECT_EQ(ui.GetState(1), 1);
    EXPECT_EQ(ui.GetText(1), "Beta");
    ui.ClearItems(1);
    EXPECT_EQ(ui.CountItems(1), 0);
    EXPECT_EQ(ui.GetState(1), -1);
    EXPECT_EQ(ui.GetText(1), "");
}

TEST_F(HeadlessTest, ReportListItemStatesCombineHighlightAndCheckBox) {
    ui.OpenWindow(2, 0, 0, 300, 400, "", 0);
    ui.ReportListGadget(9, 5, 25, 290, 170, "", 285, kReportNoHeader | kReportCheckBoxes);
    ui.AddItem(9, -1, "a.pak");
    ui.AddItem(9, -1, "b.pak");

    ui.SelectItem(9, 0);
    EXPECT_EQ(ui.GetItemState(9, 0), kItemSelected);  // highlighted, unchecked
    ui.CheckItem(9, 0, true);
    EXPECT_EQ(ui.GetItemState(9, 0), kItemSelected | kItemChecked);

    // Checking through the program leaves the row unselected.
    ui.SetItemState(9, 0, kItemChecked);
    EXPECT_EQ(ui.GetItemState(9, 0), kItemChecked);
    EXPECT_EQ(ui.GetItemText(9, 1), "b.pak");
    EXPECT_EQ(ui.GetItemState(9, 5), 0);

    ui.FitColumn(9);
    EXPECT_TRUE(ui.Gadget(9).columnFitted);
}

TEST_F(HeadlessTest, EventsArriveInOrderAndWaitIsBounded) {
    ui.OpenWindow(1, 0, 0, 400, 325, "", 0);
    ui.ButtonGadget(2, 0, 0, 10, 10, "a");
    ui.ButtonGadget(4, 0, 0, 10, 10, "b");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ui.WaitEvent(10), kEventNone);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9));

    ui.DisableGadget(2, 1);
    EXPECT_FALSE(ui.Click(2));  // a disabled button raises nothing
    EXPECT_TRUE(ui.Click(4));
    ui.QueueCloseEvent(1);

    ASSERT_EQ(ui.WaitEvent(10), kEventGadget);
    EXPECT_EQ(ui.EventGadget(), 4);
    EXPECT_EQ(ui.EventType(), 0);
    EXPECT_EQ(ui.EventWindow(), 1);
    ASSERT_EQ(ui.WaitEvent(10), kEventClose);
    EXPECT_EQ(ui.EventWindow(), 1);
    // The close box only raises the event; the window stays.
    EXPECT_TRUE(ui.HasWindow(1));

    ui.DisableWindow(1, 1);
    ui.DisableGadget(4, 0);
    EXPECT_FALSE(ui.Click(4));  // nor does any gadget of a disabled window
}

TEST_F(HeadlessTest, EventFromAnotherThreadWakesTheWait) {
    ui.OpenWindow(1, 0, 0, 400, 325, "", 0);
    ui.ButtonGadget(2, 0, 0, 10, 10, "a");
    std::thread clicker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ui.Click(2);
    });
    int code = kEventNone;
    for (int pass = 0; pass < 500 && code == kEventNone; ++pass)
        code = ui.WaitEvent(10);
    clicker.join();
    EXPECT_EQ(code, kEventGadget);
}

TEST_F(HeadlessTest, DialogsAreRecordedAndScripted) {
    ui.ShowMessage("Error", "Could not connect to server.", kMessageWarning);
    ui.ShowMessage("OnError example", "report", kMessagePlain);
    auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].title, "Error");
    EXPECT_EQ(messages[0].text, "Could not connect to server.");
    EXPECT_EQ(messages[0].flags, 48u);
    EXPECT_EQ(messages[1].flags, 0u);

    ui.ScriptFolderAnswer("C:\\Games");
    ui.ScriptFolderAnswer("D:\\");
    EXPECT_EQ(ui.FolderRequester("Install to...", "C:\\start\\"), "C:\\Games\\");
    EXPECT_EQ(ui.FolderRequester("Install to...", "C:\\start\\"), "D:\\");  // a root keeps its one backslash
    EXPECT_EQ(ui.FolderRequester("Install to...", "C:\\start\\"), "");      // no answer left: cancelled
    ASSERT_EQ(ui.FolderRequests().size(), 3u);
    EXPECT_EQ(ui.FolderRequests()[0].initialFolder, "C:\\start\\");
}

TEST_F(HeadlessTest, FailedOpenLeavesNoWindow) {
    ui.FailNextOpen(3);
    EXPECT_EQ(ui.OpenWindow(3, 0, 0, 300, 80, "", 0), 0);
    EXPECT_FALSE(ui.HasWindow(3));
    EXPECT_NE(ui.OpenWindow(3, 0, 0, 300, 80, "", 0), 0);
}

TEST_F(HeadlessTest, ProgressBarStaysInItsRange) {
    ui.OpenWindow(1, 0, 0, 400, 325, "", 0);
    ui.ProgressBarGadget(6, 5, 275, 390, 20, 0, 100);
    ui.SetState(6, 67);
    EXPECT_EQ(ui.GetState(6), 67);
    ui.SetState(6, 250);
    EXPECT_EQ(ui.GetState(6), 100);
    ui.SetState(6, -5);
    EXPECT_EQ(ui.GetState(6), 0);
}

}  // namespace
}  // namespace zefo::ui
