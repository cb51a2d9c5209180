// A toolkit without a display. It keeps every window and gadget in memory, lets
// a test act as the user (clicks, close boxes, typing, check boxes, answers to
// the folder requester) and records every message box shown. Every call is safe
// from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace zefo::ui {

enum class GadgetKind { Button, TextList, ProgressBar, Label, ReportList, DropDown, TextField };

struct HeadlessWindow {
    int number = 0;
    std::string title;
    int x = 0, y = 0, width = 0, height = 0;
    unsigned flags = 0;
    bool enabled = true;
    bool topmost = false;
};

struct HeadlessGadget {
    int number = 0;
    int window = 0;
    GadgetKind kind = GadgetKind::Button;
    int x = 0, y = 0, width = 0, height = 0;
    std::string text;                // button, label, text field; report list: column title
    std::vector<std::string> items;  // text list, drop-down, report list rows
    std::vector<int> itemChecked;    // report list: 1 when the row's box is checked
    int selected = -1;               // text list, drop-down, report list: selected row or -1
    int scrolledTo = -1;             // text list: the line last scrolled into view
    int position = 0;                // progress bar
    int minimum = 0, maximum = 0;    // progress bar
    unsigned flags = 0;              // report list flags
    int columnWidth = 0;             // report list
    bool columnFitted = false;       // report list: FitColumn was called
    bool enabled = true;
};

struct MessageRecord {
    std::string title;
    std::string text;
    unsigned flags = 0;
};

struct FolderRequest {
    std::string title;
    std::string initialFolder;
};

class HeadlessToolkit final : public Toolkit {
  public:
    HeadlessToolkit();
    ~HeadlessToolkit() override;

    int OpenWindow(int window, int x, int y, int width, int height, const std::string& title,
                   unsigned flags) override;
    void CloseWindow(int window) override;
    void DisableWindow(int window, int state) override;
    void KeepOnTop(int window, int state) override;
    void SetWindowTitle(int window, const std::string& title) override;

    int ButtonGadget(int gadget, int x, int y, int width, int height, const std::string& text) override;
    int TextListGadget(int gadget, int x, int y, int width, int height) override;
    int ProgressBarGadget(int gadget, int x, int y, int width, int height, int minimum, int maximum) override;
    int LabelGadget(int gadget, int x, int y, int width, int height, const std::string& text) override;
    int ReportListGadget(int gadget, int x, int y, int width, int height, const std::string& title, int columnWidth,
                         unsigned flags) override;
    int DropDownGadget(int gadget, int x, int y, int width, int height) override;
    int TextFieldGadget(int gadget, int x, int y, int width, int height, const std::string& text) override;

    int DisableGadget(int gadget, int state) override;
    int AddItem(int gadget, int position, const std::string& text) override;
    int ClearItems(int gadget) override;
    int CountItems(int gadget) override;
    int SetState(int gadget, int value) override;
    int GetState(int gadget) override;
    std::string GetText(int gadget) override;
    std::string GetItemText(int gadget, int row) override;
    int GetItemState(int gadget, int row) override;
    int SetItemState(int gadget, int row, int value) override;
    void* NativeHandle(int gadget) override;
    int FitColumn(int gadget) override;
    void SetCancelGadget(int window, int gadget) override;

    int WaitEvent(int timeoutMs) override;
    int EventGadget() override;
    int EventType() override;
    int EventWindow() override;

    int ShowMessage(const std::string& title, const std::string& text, unsigned flags) override;
    std::string FolderRequester(const std::string& title, const std::string& initialFolder) override;

    void RunAtomically(const std::function<void()>& fn) override;

    // --- acting as the user ---

    // Queues a gadget event as the control would raise it (no checks).
    void QueueGadgetEvent(int gadget, int type = 0);
    // Queues a click when the gadget exists and both it and its window are enabled.
    bool Click(int gadget);
    // Queues a close event for an open window (its close box).
    void QueueCloseEvent(int window);
    // The Escape key in `window`: a click on its cancel gadget, if it has one.
    bool PressEscape(int window);
    // Types into a text field, replacing its text.
    bool TypeText(int gadget, const std::string& text);
    // Picks entry `index` of a drop-down list, or highlights row `index` of a
    // report list (-1 for none).
    bool SelectItem(int gadget, int index);
    // Sets or clears a report-list row's check box as a mouse click on it would.
    bool CheckItem(int gadget, int row, bool checked);
    // The next folder requester returns `folder` (queued; empty means cancel).
    void ScriptFolderAnswer(const std::string& folder);
    // Makes the next OpenWindow of `window` fail.
    void FailNextOpen(int window);
    // Called on the showing thread for each message box before it returns, so a
    // test can hold a box open. Pass nullptr to remove.
    void SetMessageHook(std::function<void(const MessageRecord&)> hook);

    // --- inspecting ---

    bool HasWindow(int window) const;
    HeadlessWindow Window(int window) const;
    bool HasGadget(int gadget) const;
    HeadlessGadget Gadget(int gadget) const;
    std::vector<std::string> Items(int gadget) const;
    std::vector<MessageRecord> Messages() const;
    std::vector<FolderRequest> FolderRequests() const;
    size_t PendingEvents() const;
    // Polls `predicate` until it holds or `timeoutMs` passes; true when it held.
    static bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs);

  private:
    struct Event {
        int code = 0;
        int gadget = 0;
        int type = 0;
        int window = 0;
    };

    HeadlessGadget* Find(int gadget);
    const HeadlessGadget* Find(int gadget) const;
    int Create(int gadget, GadgetKind kind, int x, int y, int width, int height, const std::string& text);
    void Push(const Event& event);

    mutable std::recursive_mutex lock_;
    std::condition_variable_any eventReady_;
    std::map<int, HeadlessWindow> windows_;
    std::map<int, HeadlessGadget> gadgets_;
    std::map<int, int> cancelGadgets_;
    int currentWindow_ = 0;
    std::deque<Event> events_;
    Event last_;
    std::vector<MessageRecord> messages_;
    std::vector<FolderRequest> folderRequests_;
    std::deque<std::string> folderAnswers_;
    std::vector<int> failingOpens_;
    std::function<void(const MessageRecord&)> messageHook_;
};

}  // namespace zefo::ui
