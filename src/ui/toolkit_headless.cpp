#include "ui/toolkit_headless.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zefo::ui {

namespace {

bool IsList(GadgetKind kind) {
    return kind == GadgetKind::TextList || kind == GadgetKind::DropDown || kind == GadgetKind::ReportList;
}

}  // namespace

HeadlessToolkit::HeadlessToolkit() = default;
HeadlessToolkit::~HeadlessToolkit() = default;

int HeadlessToolkit::OpenWindow(int window, int x, int y, int width, int height, const std::string& title,
                                unsigned flags) {
    std::lock_guard guard(lock_);
    auto failing = std::find(failingOpens_.begin(), failingOpens_.end(), window);
    if (failing != failingOpens_.end()) {
        failingOpens_.erase(failing);
        return 0;
    }
    if (windows_.count(window))
        CloseWindow(window);
    HeadlessWindow& w = windows_[window];
    w.number = window;
    w.title = title;
    w.x = x;
    w.y = y;
    w.width = width;
    w.height = height;
    w.flags = flags;
    currentWindow_ = window;
    return 1;
}

void HeadlessToolkit::CloseWindow(int window) {
    std::lock_guard guard(lock_);
    if (!windows_.erase(window))
        return;
    cancelGadgets_.erase(window);
    std::erase_if(gadgets_, [window](const auto& entry) { return entry.second.window == window; });
    if (currentWindow_ == window)
        currentWindow_ = windows_.empty() ? 0 : windows_.rbegin()->first;
}

void HeadlessToolkit::DisableWindow(int window, int state) {
    std::lock_guard guard(lock_);
    auto it = windows_.find(window);
    if (it != windows_.end())
        it->second.enabled = state == 0;
}

void HeadlessToolkit::KeepOnTop(int window, int state) {
    std::lock_guard guard(lock_);
    auto it = windows_.find(window);
    if (it != windows_.end())
        it->second.topmost = state != 0;
}

void HeadlessToolkit::SetWindowTitle(int window, const std::string& title) {
    std::lock_guard guard(lock_);
    auto it = windows_.find(window);
    if (it != windows_.end())
        it->second.title = title;
}

int HeadlessToolkit::Create(int gadget, GadgetKind kind, int x, int y, int width, int height,
                            const std::string& text) {
    if (!windows_.count(currentWindow_))
        return 0;
    HeadlessGadget g;
    g.number = gadget;
    g.window = currentWindow_;
    g.kind = kind;
    g.x = x;
    g.y = y;
    g.width = width;
    g.height = height;
    g.text = text;
    gadgets_[gadget] = g;
    return 1;
}

int HeadlessToolkit::ButtonGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    std::lock_guard guard(lock_);
    return Create(gadget, GadgetKind::Button, x, y, width, height, text);
}

int HeadlessToolkit::TextListGadget(int gadget, int x, int y, int width, int height) {
    std::lock_guard guard(lock_);
    return Create(gadget, GadgetKind::TextList, x, y, width, height, {});
}

int HeadlessToolkit::ProgressBarGadget(int gadget, int x, int y, int width, int height, int minimum, int maximum) {
    std::lock_guard guard(lock_);
    if (!Create(gadget, GadgetKind::ProgressBar, x, y, width, height, {}))
        return 0;
    HeadlessGadget& g = gadgets_[gadget];
    g.minimum = minimum;
    g.maximum = maximum;
    g.position = minimum;
    return 1;
}

int HeadlessToolkit::LabelGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    std::lock_guard guard(lock_);
    return Create(gadget, GadgetKind::Label, x, y, width, height, text);
}

int HeadlessToolkit::ReportListGadget(int gadget, int x, int y, int width, int height, const std::string& title,
                                      int columnWidth, unsigned flags) {
    std::lock_guard guard(lock_);
    if (!Create(gadget, GadgetKind::ReportList, x, y, width, height, title))
        return 0;
    gadgets_[gadget].flags = flags;
    gadgets_[gadget].columnWidth = columnWidth;
    return 1;
}

int HeadlessToolkit::DropDownGadget(int gadget, int x, int y, int width, int height) {
    std::lock_guard guard(lock_);
    return Create(gadget, GadgetKind::DropDown, x, y, width, height, {});
}

int HeadlessToolkit::TextFieldGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    std::lock_guard guard(lock_);
    return Create(gadget, GadgetKind::TextField, x, y, width, height, text);
}

HeadlessGadget* HeadlessToolkit::Find(int gadget) {
    auto it = gadgets_.find(gadget);
    return it == gadgets_.end() ? nullptr : &it->second;
}

const HeadlessGadget* HeadlessToolkit::Find(int gadget) const {
    auto it = gadgets_.find(gadget);
    return it == gadgets_.end() ? nullptr : &it->second;
}

int HeadlessToolkit::DisableGadget(int gadget, int state) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g)
        return 0;
    g->enabled = state == 0;
    return 1;
}

int HeadlessToolkit::AddItem(int gadget, int position, const std::string& text) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || !IsList(g->kind))
        return 0;
    int count = static_cast<int>(g->items.size());
    if (position < 0 || position > count)
        position = count;
    g->items.insert(g->items.begin() + position, text);
    g->itemChecked.insert(g->itemChecked.begin() + position, 0);
    if (g->selected >= position)
        ++g->selected;
    return 1;
}

int HeadlessToolkit::ClearItems(int gadget) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || !IsList(g->kind))
        return 0;
    g->items.clear();
    g->itemChecked.clear();
    g->selected = -1;
    g->scrolledTo = -1;
    return 1;
}

int HeadlessToolkit::CountItems(int gadget) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    return g ? static_cast<int>(g->items.size()) : 0;
}

int HeadlessToolkit::SetState(int gadget, int value) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g)
        return 0;
    switch (g->kind) {
        case GadgetKind::ProgressBar:
            g->position = std::clamp(value, g->minimum, g->maximum);
            return 1;
        case GadgetKind::TextList:
        case GadgetKind::DropDown:
            if (value < 0 || value >= static_cast<int>(g->items.size())) {
                g->selected = -1;
            } else {
                g->selected = value;
                g->scrolledTo = value;
            }
            return 1;
        default:
            return 0;
    }
}

int HeadlessToolkit::GetState(int gadget) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    if (!g)
        return 0;
    if (g->kind == GadgetKind::ProgressBar)
        return g->position;
    if (IsList(g->kind))
        return g->selected;
    return 0;
}

std::string HeadlessToolkit::GetText(int gadget) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    if (!g)
        return {};
    if (g->kind == GadgetKind::DropDown || g->kind == GadgetKind::TextList)
        return g->selected >= 0 ? g->items[g->selected] : std::string();
    return g->text;
}

std::string HeadlessToolkit::GetItemText(int gadget, int row) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    if (!g || row < 0 || row >= static_cast<int>(g->items.size()))
        return {};
    return g->items[row];
}

int HeadlessToolkit::GetItemState(int gadget, int row) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    if (!g || g->kind != GadgetKind::ReportList || row < 0 || row >= static_cast<int>(g->items.size()))
        return 0;
    int state = g->selected == row ? kItemSelected : 0;
    if (g->itemChecked[row])
        state |= kItemChecked;
    return state;
}

int HeadlessToolkit::SetItemState(int gadget, int row, int value) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || g->kind != GadgetKind::ReportList || row < 0 || row >= static_cast<int>(g->items.size()))
        return 0;
    g->itemChecked[row] = (value & kItemChecked) ? 1 : 0;
    if (value & kItemSelected)
        g->selected = row;
    else if (g->selected == row)
        g->selected = -1;
    return 1;
}

void* HeadlessToolkit::NativeHandle(int gadget) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    return g;
}

int HeadlessToolkit::FitColumn(int gadget) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || g->kind != GadgetKind::ReportList)
        return 0;
    g->columnFitted = true;
    g->columnWidth = g->width;
    return 1;
}

void HeadlessToolkit::SetCancelGadget(int window, int gadget) {
    std::lock_guard guard(lock_);
    cancelGadgets_[window] = gadget;
}

int HeadlessToolkit::WaitEvent(int timeoutMs) {
    std::unique_lock guard(lock_);
    if (!eventReady_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return !events_.empty(); }))
        return kEventNone;
    last_ = events_.front();
    events_.pop_front();
    return last_.code;
}

int HeadlessToolkit::EventGadget() {
    std::lock_guard guard(lock_);
    return last_.gadget;
}

int HeadlessToolkit::EventType() {
    std::lock_guard guard(lock_);
    return last_.type;
}

int HeadlessToolkit::EventWindow() {
    std::lock_guard guard(lock_);
    return last_.window;
}

int HeadlessToolkit::ShowMessage(const std::string& title, const std::string& text, unsigned flags) {
    MessageRecord record{title, text, flags};
    std::function<void(const MessageRecord&)> hook;
    {
        std::lock_guard guard(lock_);
        messages_.push_back(record);
        hook = messageHook_;
    }
    // The hook runs without the lock so that a held box does not stop other threads.
    if (hook)
        hook(record);
    return 1;
}

std::string HeadlessToolkit::FolderRequester(const std::string& title, const std::string& initialFolder) {
    std::lock_guard guard(lock_);
    folderRequests_.push_back({title, initialFolder});
    if (folderAnswers_.empty())
        return {};
    std::string answer = folderAnswers_.front();
    folderAnswers_.pop_front();
    if (!answer.empty() && answer.back() != '\\' && answer.back() != '/')
        answer += '\\';
    return answer;
}

void HeadlessToolkit::RunAtomically(const std::function<void()>& fn) {
    std::lock_guard guard(lock_);
    fn();
}

void HeadlessToolkit::Push(const Event& event) {
    std::lock_guard guard(lock_);
    events_.push_back(event);
    eventReady_.notify_all();
}

void HeadlessToolkit::QueueGadgetEvent(int gadget, int type) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    Push({kEventGadget, gadget, type, g ? g->window : 0});
}

bool HeadlessToolkit::Click(int gadget) {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    if (!g || !g->enabled || !windows_.at(g->window).enabled)
        return false;
    Push({kEventGadget, gadget, 0, g->window});
    return true;
}

void HeadlessToolkit::QueueCloseEvent(int window) {
    Push({kEventClose, 0, 0, window});
}

bool HeadlessToolkit::PressEscape(int window) {
    std::lock_guard guard(lock_);
    auto it = cancelGadgets_.find(window);
    if (it == cancelGadgets_.end() || !windows_.count(window))
        return false;
    return Click(it->second);
}

bool HeadlessToolkit::TypeText(int gadget, const std::string& text) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || g->kind != GadgetKind::TextField || !g->enabled)
        return false;
    g->text = text;
    return true;
}

bool HeadlessToolkit::SelectItem(int gadget, int index) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || !IsList(g->kind) || !g->enabled || index >= static_cast<int>(g->items.size()))
        return false;
    g->selected = index < 0 ? -1 : index;
    return true;
}

bool HeadlessToolkit::CheckItem(int gadget, int row, bool checked) {
    std::lock_guard guard(lock_);
    HeadlessGadget* g = Find(gadget);
    if (!g || g->kind != GadgetKind::ReportList || !(g->flags & kReportCheckBoxes) || row < 0 ||
        row >= static_cast<int>(g->items.size()))
        return false;
    g->itemChecked[row] = checked ? 1 : 0;
    return true;
}

void HeadlessToolkit::ScriptFolderAnswer(const std::string& folder) {
    std::lock_guard guard(lock_);
    folderAnswers_.push_back(folder);
}

void HeadlessToolkit::FailNextOpen(int window) {
    std::lock_guard guard(lock_);
    failingOpens_.push_back(window);
}

void HeadlessToolkit::SetMessageHook(std::function<void(const MessageRecord&)> hook) {
    std::lock_guard guard(lock_);
    messageHook_ = std::move(hook);
}

bool HeadlessToolkit::HasWindow(int window) const {
    std::lock_guard guard(lock_);
    return windows_.count(window) != 0;
}

HeadlessWindow HeadlessToolkit::Window(int window) const {
    std::lock_guard guard(lock_);
    auto it = windows_.find(window);
    return it == windows_.end() ? HeadlessWindow{} : it->second;
}

bool HeadlessToolkit::HasGadget(int gadget) const {
    std::lock_guard guard(lock_);
    return Find(gadget) != nullptr;
}

HeadlessGadget HeadlessToolkit::Gadget(int gadget) const {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    return g ? *g : HeadlessGadget{};
}

std::vector<std::string> HeadlessToolkit::Items(int gadget) const {
    std::lock_guard guard(lock_);
    const HeadlessGadget* g = Find(gadget);
    return g ? g->items : std::vector<std::string>{};
}

std::vector<MessageRecord> HeadlessToolkit::Messages() const {
    std::lock_guard guard(lock_);
    return messages_;
}

std::vector<FolderRequest> HeadlessToolkit::FolderRequests() const {
    std::lock_guard guard(lock_);
    return folderRequests_;
}

size_t HeadlessToolkit::PendingEvents() const {
    std::lock_guard guard(lock_);
    return events_.size();
}

bool HeadlessToolkit::WaitUntil(const std::function<bool()>& predicate, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (predicate())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace zefo::ui
