// ReadTextLine over any file. Each call gives the next stretch of the file up to
// a CR, LF or zero byte (CR LF being one line end), as UTF-8 with each invalid byte
// replaced, so the lines and their ends account for every byte; after the last
// line only empty text follows.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "fuzz_check.h"
#include "fuzz_files.h"
#include "sync/text_file.h"

namespace {

constexpr int kSlot = 3;
constexpr std::string_view kLineEnds("\r\n\0", 3);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = zefo::fuzz::TheFolder().File("lines.txt");
    zefo::fuzz::WriteBytes(path, bytes);
    FUZZ_CHECK(zefo::OpenTextFileForReading(kSlot, path) != 0);

    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find_first_of(kLineEnds, at);
        if (end == std::string_view::npos)
            end = bytes.size();
        const std::string line = zefo::ReadTextLine(kSlot);
        FUZZ_CHECK(line == zefo::ValidUtf8(std::string(bytes.substr(at, end - at))));
        at = end;
        if (at < bytes.size()) {
            const bool carriageReturn = bytes[at] == '\r';
            ++at;
            if (carriageReturn && at < bytes.size() && bytes[at] == '\n')
                ++at;
        }
    }
    for (int call = 0; call < 3; ++call)
        FUZZ_CHECK(zefo::ReadTextLine(kSlot).empty());
    zefo::CloseTextFile(kSlot);
    return 0;
}
