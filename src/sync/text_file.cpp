#include "sync/text_file.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "sync/text_file_io.h"

namespace zefo {

namespace text_io {

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();) {
        char32_t code = NextCodePoint(utf8, pos);
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

}  // namespace text_io

namespace {

constexpr size_t kBufferSize = 4096;

// One open file. The table lock only guards finding a slot; the slot's own lock
// keeps the closing at program end from racing a thread that still uses it.
struct Slot {
    std::mutex lock;
    text_io::NativeFile file;
    bool writing = false;
    std::array<char, kBufferSize> buffer{};
    size_t start = 0;  // reading: next unread byte
    size_t end = 0;    // reading: end of the bytes read ahead; writing: bytes waiting
    bool atEnd = false;

    // Reading: makes sure unread bytes are in the buffer; false at the end of the file.
    bool Fill() {
        if (start < end)
            return true;
        if (atEnd)
            return false;
        start = end = 0;
        int64_t got = text_io::Read(file, buffer.data(), buffer.size());
        if (got <= 0) {
            atEnd = true;  // a read error ends the file like its end does
            return false;
        }
        end = static_cast<size_t>(got);
        return true;
    }

    // The next line, UTF-8 decoded; empty at the end of the file or while writing.
    std::string ReadLine() {
        if (writing || !file.valid())
            return {};
        std::string line;
        while (Fill()) {
            const char* begin = buffer.data() + start;
            const char* stop = buffer.data() + end;
            const char* ending = std::find_if(begin, stop, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
            if (line.size() + static_cast<size_t>(ending - begin) > line.capacity())
                line.reserve(line.capacity() + std::max(kBufferSize, static_cast<size_t>(ending - begin)));
            line.append(begin, ending);
            start += static_cast<size_t>(ending - begin);
            if (ending == stop)
                continue;
            ++start;
            // CR LF is one line end; any other byte after a CR begins the next line.
            if (*ending == '\r' && Fill() && buffer[start] == '\n')
                ++start;
            break;
        }
        return ValidUtf8(std::move(line));
    }

    void Flush() {
        if (writing && end > 0)
            WriteAllToFile(file, std::string_view(buffer.data(), end));
        end = 0;
    }

    void Write(const char* data, size_t size) {
        if (size > buffer.size() - end)
            Flush();
        if (size > buffer.size()) {
            WriteAllToFile(file, std::string_view(data, size));
            return;
        }
        std::copy(data, data + size, buffer.data() + end);
        end += size;
    }

    void Close() {
        std::lock_guard hold(lock);
        Flush();
        file.Reset();
    }
};

struct SlotTable {
    std::mutex lock;
    std::map<int, std::shared_ptr<Slot>> slots;
};

// Never destroyed: a worker may still reach it while the process ends.
SlotTable& Table() {
    static SlotTable* table = new SlotTable;
    return *table;
}

std::shared_ptr<Slot> Find(int slot) {
    SlotTable& table = Table();
    std::lock_guard hold(table.lock);
    auto found = table.slots.find(slot);
    return found == table.slots.end() ? nullptr : found->second;
}

std::shared_ptr<Slot> Take(int slot) {
    SlotTable& table = Table();
    std::shared_ptr<Slot> taken;
    std::lock_guard hold(table.lock);
    auto found = table.slots.find(slot);
    if (found != table.slots.end()) {
        taken = std::move(found->second);
        table.slots.erase(found);
    }
    return taken;
}

int Install(int slot, text_io::NativeFile file, bool writing) {
    // A slot opened again closes its previous file first rather than leaking it.
    if (auto previous = Take(slot))
        previous->Close();
    if (!file.valid())
        return 0;
    auto entry = std::make_shared<Slot>();
    entry->file = std::move(file);
    entry->writing = writing;
    SlotTable& table = Table();
    std::lock_guard hold(table.lock);
    table.slots[slot] = std::move(entry);
    return 1;
}

// Files still open when the process ends are written out and closed.
struct CloseAtExit {
    CloseAtExit() { Table(); }
    ~CloseAtExit() {
        std::map<int, std::shared_ptr<Slot>> open;
        {
            SlotTable& table = Table();
            std::lock_guard hold(table.lock);
            open.swap(table.slots);
        }
        for (auto& [number, slot] : open)
            slot->Close();
    }
} closeAtExit;

}  // namespace

int OpenTextFileForReading(int slot, const std::string& path) {
    return Install(slot, text_io::OpenForReading(path), false);
}

int CreateTextFile(int slot, const std::string& path) {
    return Install(slot, text_io::CreateOrTruncate(path), true);
}

std::string ReadTextLine(int slot) {
    std::shared_ptr<Slot> entry = Find(slot);
    if (!entry)
        return {};
    std::lock_guard hold(entry->lock);
    return entry->ReadLine();
}

std::optional<std::vector<std::string>> ReadTextLines(const std::string& path, size_t count) {
    Slot file;
    file.file = text_io::OpenForReading(path);
    if (!file.file.valid())
        return std::nullopt;
    std::vector<std::string> lines;
    for (size_t i = 0; i < count; ++i)
        lines.push_back(file.ReadLine());
    return lines;
}

void WriteTextLine(int slot, const std::string& text, TextEncoding encoding) {
    std::shared_ptr<Slot> entry = Find(slot);
    if (!entry)
        return;
    std::string bytes;
    switch (encoding) {
        case TextEncoding::Utf8:
            bytes = text + "\r\n";
            break;
        case TextEncoding::Utf16: {
            std::u16string units = text_io::Utf8ToUtf16(text);
            units += u"\r\n";
            bytes.reserve(units.size() * 2);
            for (char16_t unit : units) {
                bytes += static_cast<char>(unit & 0xFF);
                bytes += static_cast<char>(unit >> 8);
            }
            break;
        }
        case TextEncoding::Ansi:
            bytes = text_io::ToCodePage(text) + "\r\n";
            break;
    }
    Slot& s = *entry;
    std::lock_guard hold(s.lock);
    if (s.writing && s.file.valid())
        s.Write(bytes.data(), bytes.size());
}

void CloseTextFile(int slot) {
    if (auto entry = Take(slot))
        entry->Close();
}

}  // namespace zefo
