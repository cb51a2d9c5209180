// The game and file lists as the loaders read a block: every entry comes from one
// record, the bounds hold, and no game folder can add a line to a request.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "net/lists.h"
#include "net/server_request.h"
#include "net/text_ops.h"

namespace {

// The loaders refuse lists of more records than this.
constexpr size_t kMaxRecords = 1'000'000;
// An input that begins with this byte stands for a block of its rest (at most 16
// bytes) repeated past two million bytes, which can hold more records than a list
// may. Such a block costs milliseconds, the others microseconds.
constexpr char kRepeatMark = '~';
constexpr size_t kMaxRepeatedUnit = 16;
constexpr size_t kRepeatedSize = 2 * kMaxRecords + 2;

struct Record {
    std::string field1;
    std::string field2;
};

std::vector<Record> RecordsOf(std::string_view block) {
    std::vector<Record> records;
    zefo::ForEachRecord(block, [&records](std::string_view field1, std::string_view field2) {
        records.push_back({std::string(field1), std::string(field2)});
    });
    return records;
}

size_t CountLineEnds(std::string_view text) {
    size_t count = 0;
    for (size_t at = text.find("\r\n"); at != std::string_view::npos; at = text.find("\r\n", at + 2))
        ++count;
    return count;
}

void CheckGames(std::string_view block, const std::vector<Record>& records) {
    zefo::GameList games;
    const bool parsed = zefo::ParseGameBlock(block, games);
    FUZZ_CHECK(parsed == (records.size() <= kMaxRecords));
    if (!parsed) {
        FUZZ_CHECK(games.empty());
        return;
    }
    size_t next = 0;
    for (const Record& record : records) {
        if (zefo::HasControlCharacters(record.field2))
            continue;
        FUZZ_CHECK(next < games.size());
        FUZZ_CHECK(games[next].name == record.field1);
        FUZZ_CHECK(games[next].folder == record.field2);
        ++next;
    }
    FUZZ_CHECK(next == games.size());
    // A chosen game's file list request keeps its four lines, whatever the server sent.
    for (size_t i = 0; i < games.size() && i < 64; ++i)
        FUZZ_CHECK(CountLineEnds(zefo::ListRequestText("server", "/" + games[i].folder + "/")) == 4);
}

void CheckFiles(std::string_view block, const std::vector<Record>& records) {
    zefo::FileList files;
    std::string errorKey;
    const zefo::FileBlockResult result = zefo::ParseFileBlock(block, files, errorKey);
    if (zefo::TextField(block, 1, ":") == "error") {
        FUZZ_CHECK(result == zefo::FileBlockResult::ErrorReply);
        FUZZ_CHECK(errorKey == zefo::TextField(block, 2, ":"));
        FUZZ_CHECK(files.empty());
        return;
    }
    if (records.size() > kMaxRecords) {
        FUZZ_CHECK(result == zefo::FileBlockResult::TooManyRecords);
        FUZZ_CHECK(files.empty());
        return;
    }
    FUZZ_CHECK(result == zefo::FileBlockResult::Files);
    size_t next = 0;
    for (const Record& record : records) {
        if (record.field1.empty())
            continue;
        FUZZ_CHECK(next < files.size());
        const zefo::FileEntry& file = files[next];
        FUZZ_CHECK(file.path == record.field1);
        FUZZ_CHECK(file.fingerprint == record.field2);
        FUZZ_CHECK(file.localName.empty());
        FUZZ_CHECK(file.chosen.load() == 1 && file.upToDate.load() == 0 && file.failed.load() == 0);
        ++next;
    }
    FUZZ_CHECK(next == files.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string block(reinterpret_cast<const char*>(data), size);
    if (block.empty() || block.front() != kRepeatMark) {
        const std::vector<Record> records = RecordsOf(block);
        CheckGames(block, records);
        CheckFiles(block, records);
        return 0;
    }
    // A block past the bound is refused before any entry is made. (One within it costs
    // a million entries; the inputs above check the entries.)
    block.erase(0, 1);
    if (block.empty() || block.size() > kMaxRepeatedUnit)
        return 0;
    while (block.size() < kRepeatedSize)
        block += block;
    if (zefo::CountRecords(block) <= kMaxRecords)
        return 0;
    zefo::GameList games;
    FUZZ_CHECK(!zefo::ParseGameBlock(block, games) && games.empty());
    zefo::FileList files;
    std::string errorKey;
    const zefo::FileBlockResult result = zefo::ParseFileBlock(block, files, errorKey);
    FUZZ_CHECK(files.empty());
    FUZZ_CHECK(result == (zefo::TextField(block, 1, ":") == "error" ? zefo::FileBlockResult::ErrorReply
                                                                    : zefo::FileBlockResult::TooManyRecords));
    return 0;
}
