// The framing of a list reply: the block between "[data]" and "[/data]" of any
// reply, the records and fields in it, their count, and the text a server writes
// for the records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "net/text_decode.h"
#include "net/text_ops.h"

namespace {

using Record = std::pair<std::string, std::string>;

constexpr std::string_view kOpen = "[data]";
constexpr std::string_view kClose = "[/data]";
// The record-by-record split costs a pass over the block per record; a block's
// first records are enough to compare the two.
constexpr int64_t kComparedFields = 64;

std::vector<Record> RecordsOf(std::string_view block) {
    std::vector<Record> records;
    zefo::ForEachRecord(
        block, [&records](std::string_view field1, std::string_view field2) { records.emplace_back(field1, field2); });
    return records;
}

// The reply as a list request collects it: pieces of at most 1024 bytes, each
// decoded from the code page and ending at its first zero byte.
std::string Collected(std::string_view bytes) {
    std::string collected;
    for (size_t at = 0; at < bytes.size(); at += 1024) {
        std::string_view piece = bytes.substr(at, 1024);
        collected += zefo::DecodeText(piece.data(), static_cast<int>(piece.size()), zefo::kEncodingCodePage);
    }
    return collected;
}

// The block by the definition of TextBetween, with the standard search: from the
// first "[data]" to the first "[/data]" after it; without "[data]", from the sixth
// byte to the first "[/data]".
std::string ExpectedBlock(std::string_view reply) {
    size_t open = reply.find(kOpen);
    size_t from = open == std::string_view::npos ? 0 : open;
    size_t close = reply.find(kClose, from);
    if (close == std::string_view::npos)
        return {};
    size_t begin = open == std::string_view::npos ? kOpen.size() - 1 : open + kOpen.size();
    return close > begin ? std::string(reply.substr(begin, close - begin)) : std::string();
}

void CheckBlock(std::string_view block) {
    const std::vector<Record> records = RecordsOf(block);
    FUZZ_CHECK(zefo::CountRecords(block) == records.size());
    FUZZ_CHECK(records.size() <= static_cast<size_t>(zefo::CountText(block, "|")) + 1);
    for (const auto& [field1, field2] : records) {
        FUZZ_CHECK(field1.find_first_of("|:") == std::string::npos);
        FUZZ_CHECK(field2.find_first_of("|:") == std::string::npos);
    }

    // The same records by splitting field by field with TextField; the raw records
    // (fields after the second kept) are what ListBlockText gets below.
    std::vector<std::string> raw;
    const int64_t separators = zefo::CountText(block, "|");
    size_t next = 0;
    for (int64_t index = 1; index <= separators + 1 && index <= kComparedFields; ++index) {
        std::string record = zefo::TextField(block, index, "|");
        if (record.empty())
            continue;
        FUZZ_CHECK(next < records.size());
        FUZZ_CHECK(zefo::TextField(record, 1, ":") == records[next].first);
        FUZZ_CHECK(zefo::TextField(record, 2, ":") == records[next].second);
        raw.push_back(std::move(record));
        ++next;
    }

    // A server's text for records without "|" reads back as the same records.
    const std::string text = zefo::ListBlockText(raw);
    FUZZ_CHECK(RecordsOf(zefo::TextBetween(text, kOpen, kClose)) ==
               std::vector<Record>(records.begin(), records.begin() + static_cast<ptrdiff_t>(raw.size())));
    std::vector<std::string> fields;
    for (const auto& [field1, field2] : records)
        fields.push_back(field1 + ":" + field2);
    FUZZ_CHECK(RecordsOf(zefo::TextBetween(zefo::ListBlockText(fields), kOpen, kClose)) == records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const std::string& reply : {std::string(bytes), Collected(bytes)}) {
        const std::string block = zefo::TextBetween(reply, kOpen, kClose);
        FUZZ_CHECK(block == ExpectedBlock(reply));
        FUZZ_CHECK(block.find(kClose) == std::string::npos);
        CheckBlock(block);
    }
    return 0;
}
