// The signature block of a list reply. Any reply: the parser and the verifier
// agree, what they read is in bounds, and nothing passes the signature check of a
// key made for this process, whose private half no input can know. Replies signed
// with that key here: accepted with what was signed, and refused once any signed
// byte changes. The corpus carries replies signed with fixed keys (one per format),
// whose checks after the signature (target, expiry, version) the fuzzer reaches by
// changing the bytes no signature covers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "fuzz_check.h"
#include "net/crypto.h"
#include "net/signed_list.h"
#include "net/text_ops.h"
#include "publish/publisher_key.h"

namespace {

namespace fs = std::filesystem;
using zefo::SignedListStatus;

// The keys the corpus's signed replies carry (from the signed-list tests): format 1
// and format 2.
constexpr std::string_view kSeedKeys[] = {
    "04b79dc9623917dae83110ce2cd5bb22b0ecefa1b79e44667c06a0847e3b0bf1004180c1f279ed5d3d10d466afba1dabb00e6e255f6ee5be"
    "e2e6fb3116e67c0e3f",
    "04d09aa6af9a957398f5d10b65daa12ffe5ff0847b7d9f0027214378af2c05773256d6495f9393f396ff2d64d576d79b3551e3c887bedee2f"
    "deae1e4c2c88ef70d"};
constexpr int64_t kNow = 1700000100;
constexpr int64_t kSeedVersion = 1700000000;
constexpr int64_t kSeedExpiry = 1702592000;
// Above this many records a list is not signed here: the digests would cost more
// than the run learns from them.
constexpr size_t kMaxSignedRecords = 256;
constexpr std::string_view kDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct Keys {
    std::unique_ptr<zefo::tools::SigningKey> own;
    std::string ownPublic;                // 65 bytes
    std::vector<std::string> seedPublic;  // 65 bytes each
};

// A key pair made once per process; its private key file lives only while it is read.
const Keys& TheKeys() {
    static const Keys keys = [] {
        Keys made;
        for (std::string_view seed : kSeedKeys)
            made.seedPublic.push_back(zefo::HexBytes(seed));
        std::random_device random;
        const fs::path folder = fs::temp_directory_path() / ("zefo-fuzz-key-" + std::to_string(random()));
        fs::create_directories(folder);
        const std::string file = (folder / "key.pem").string();
        std::string publicHex, reason = zefo::tools::GenerateKey(file, publicHex);
        if (reason.empty())
            made.own = zefo::tools::SigningKey::Load(file, reason);
        std::error_code error;
        fs::remove_all(folder, error);
        FUZZ_CHECK(made.own != nullptr);
        made.ownPublic = zefo::HexBytes(made.own->PublicKeyHex());
        FUZZ_CHECK(made.ownPublic.size() == 65);
        return made;
    }();
    return keys;
}

// "/" or "/NAME/" of at most 1100 bytes without control characters.
bool GoodTarget(std::string_view target) {
    return target == "/" ||
           (target.size() >= 3 && target.size() <= 1100 && target.front() == '/' && target.back() == '/' &&
            target.find('/', 1) == target.size() - 1 && !zefo::HasControlCharacters(target));
}

bool PassedSignature(SignedListStatus status) {
    return status != SignedListStatus::kUnsigned && status != SignedListStatus::kMalformed &&
           status != SignedListStatus::kBadSignature;
}

// The block of a reply as the list parser takes it.
std::string_view BlockOf(std::string_view reply, size_t& start) {
    size_t open = reply.find("[data]");
    size_t close = open == std::string_view::npos ? open : reply.find("[/data]", open + 6);
    if (close == std::string_view::npos) {
        start = 0;
        return {};
    }
    start = open + 6;
    return reply.substr(start, close - start);
}

void CheckParsedFields(std::string_view reply, const zefo::SignedListFields& fields) {
    size_t start = 0;
    const std::string_view block = BlockOf(reply, start);
    FUZZ_CHECK(fields.version >= 0 && fields.expires >= 0);
    FUZZ_CHECK(GoodTarget(fields.target));
    FUZZ_CHECK(fields.sha256.size() == (fields.target == "/" ? 0 : zefo::CountRecords(block)));
    for (const std::string& digest : fields.sha256)
        FUZZ_CHECK(zefo::IsLowerHexText(digest, 64));
    FUZZ_CHECK(fields.format == 1 || fields.format == 2);
    FUZZ_CHECK(fields.sizes.size() == (fields.format == 2 ? fields.sha256.size() : 0));
    for (int64_t size : fields.sizes)
        FUZZ_CHECK(size >= 0 && size <= zefo::kMaxSignedSize);
}

bool SameFields(const zefo::SignedListFields& a, const zefo::SignedListFields& b) {
    return a.format == b.format && a.version == b.version && a.expires == b.expires && a.target == b.target &&
           a.sha256 == b.sha256 && a.sizes == b.sizes;
}

// A reply checked against one of the corpus's keys: when it passes the signature,
// the verifier's later checks follow what was signed.
void CheckSeedSigned(std::string_view reply,
                     const std::string& seedKey,
                     SignedListStatus parse,
                     const zefo::SignedListFields& parsed,
                     uint8_t choice,
                     const std::string& target,
                     int64_t now,
                     int64_t minimum) {
    const zefo::SignedListResult seed = zefo::VerifySignedList(reply, seedKey, target, now, minimum);
    if (!PassedSignature(seed.status))
        return;
    FUZZ_CHECK(parse == SignedListStatus::kOk);
    FUZZ_CHECK(SameFields(seed.fields, parsed));
    switch (seed.status) {
        case SignedListStatus::kWrongTarget:
            FUZZ_CHECK(parsed.target != target);
            break;
        case SignedListStatus::kExpired:
            FUZZ_CHECK(parsed.target == target && parsed.expires <= now);
            break;
        case SignedListStatus::kOlderVersion:
            FUZZ_CHECK(parsed.target == target && parsed.expires > now && parsed.version < minimum);
            break;
        default:
            FUZZ_CHECK(seed.status == SignedListStatus::kOk);
            FUZZ_CHECK(parsed.target == target && parsed.expires > now && parsed.version >= minimum);
            break;
    }
    // The signature covers the block: one changed byte of it and the reply is refused.
    size_t start = 0;
    const std::string_view block = BlockOf(reply, start);
    if (!block.empty()) {
        std::string changed(reply);
        changed[start + (choice >> 3) % block.size()] ^= 0x20;
        FUZZ_CHECK(!PassedSignature(zefo::VerifySignedList(changed, seedKey, target, now, minimum).status));
    }
}

// Any reply, checked against every key. `choice` picks the target, time and
// minimum version the verifier is given, and the block byte changed afterwards.
void CheckReply(std::string_view reply, uint8_t choice) {
    const Keys& keys = TheKeys();
    zefo::SignedListFields parsed;
    const SignedListStatus parse = zefo::ParseSignedList(reply, parsed);
    FUZZ_CHECK(parse == SignedListStatus::kOk || parse == SignedListStatus::kUnsigned ||
               parse == SignedListStatus::kMalformed);
    if (parse == SignedListStatus::kOk)
        CheckParsedFields(reply, parsed);

    const std::string target = (choice & 1) ? "/alpha/" : "/";
    const int64_t now = (choice & 2) ? kSeedExpiry : kNow;
    const int64_t minimum = (choice & 4) ? kSeedVersion + 1 : kSeedVersion;

    const zefo::SignedListResult own = zefo::VerifySignedList(reply, keys.ownPublic, target, now, minimum);
    FUZZ_CHECK(!PassedSignature(own.status));
    FUZZ_CHECK((parse == SignedListStatus::kOk) == (own.status == SignedListStatus::kBadSignature));
    FUZZ_CHECK(parse == SignedListStatus::kOk || own.status == parse);

    for (const std::string& seedKey : keys.seedPublic)
        CheckSeedSigned(reply, seedKey, parse, parsed, choice, target, now, minimum);
}

// The input as a list to sign: "TARGET\nBLOCK". What SignedListText signs, the
// verifier accepts with the same fields; once one signed byte changes, it refuses.
void CheckSigned(std::string_view input, uint8_t choice) {
    const Keys& keys = TheKeys();
    const size_t line = input.find('\n');
    if (line == std::string_view::npos)
        return;
    zefo::SignedListFields fields;
    fields.target = std::string(input.substr(0, line));
    const std::string_view block = input.substr(line + 1);
    fields.version = static_cast<int64_t>(input.size()) * 1000 + choice;
    fields.expires = kNow + 1 + choice;
    fields.format = (choice & 0x40) ? 1 : 2;
    if (fields.target != "/") {
        const size_t records = zefo::CountRecords(block);
        if (records > kMaxSignedRecords)
            return;
        fields.sha256.assign(records, std::string(kDigest));
        if (fields.format == 2) {
            const int shift = (choice & 0x1F) % 24;  // sizes up to about 2^46
            for (size_t i = 0; i < records; ++i)
                fields.sizes.push_back(std::min<int64_t>(
                    zefo::kMaxSignedSize, static_cast<int64_t>((i * 7919 + input.size() % 65536) << shift)));
        }
    }
    const std::string text =
        zefo::SignedListText(fields, block, [&keys](std::string_view message) { return keys.own->Sign(message); });
    if (text.empty()) {
        // Refused for a reason in the fields or the block, never for a good list.
        FUZZ_CHECK(!GoodTarget(fields.target) || block.find("[/data]") != std::string_view::npos);
        return;
    }
    const std::string head = "HTTP/1.1 200 OK\r\n\r\n[data]";
    const std::string reply = head + std::string(block) + "[/data]" + text;
    const zefo::SignedListResult result = zefo::VerifySignedList(reply, keys.ownPublic, fields.target, kNow, 0);
    FUZZ_CHECK(result.status == SignedListStatus::kOk);
    FUZZ_CHECK(SameFields(result.fields, fields));

    // One changed byte of the block or of the signed fields (before ";sig=").
    const size_t fieldsStart = head.size() + block.size() + std::string_view("[/data][sig]").size();
    const size_t fieldsEnd = reply.rfind(";sig=");
    const size_t signedBytes = block.size() + (fieldsEnd - fieldsStart);
    size_t at = (static_cast<size_t>(choice) * 131 + input.size()) % signedBytes;
    at = at < block.size() ? head.size() + at : fieldsStart + (at - block.size());
    std::string changed = reply;
    changed[at] = static_cast<char>(changed[at] ^ (1 + (choice & 0x3F)));
    FUZZ_CHECK(!PassedSignature(zefo::VerifySignedList(changed, keys.ownPublic, fields.target, kNow, 0).status));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t choice = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckReply(rest, choice);
    if (choice & 0x80)
        CheckSigned(rest, choice);
    return 0;
}
