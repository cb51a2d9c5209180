#include "net/signed_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/net_test.h"
#include "common/scripted_server.h"
#include "net/crypto.h"
#include "net/lists.h"
#include "net/mirrors.h"
#include "net/text_ops.h"

namespace zefo::test {
namespace {

// Signed with the openssl command line (dgst -sha256 -sign), independently of
// the program's own code, so that the format and both verifiers are checked
// against a third implementation.
const char kPublicKey[] =
    "04b79dc9623917dae83110ce2cd5bb22b0ecefa1b79e44667c06a0847e3b0bf1004180c1f279ed5d3d10d466afba1dabb00e6e255f6ee5be"
    "e2e6fb3116e67c0e3f";
const char kFileBlock[] =
    "data/game.dat:8bd56cc239f1536a45588884210e52c2|readme.txt:900150983cd24fb0d6963f7d28e17f72|maps/a "
    "b.bin:d41d8cd98f00b204e9800998ecf8427e";
const char kFileFields[] =
    "v=1;version=1700000000;expires=1702592000;target=/alpha/;sha256="
    "8942b35165060fe88fe85428f3be8eddce295f97277161797b54a2b838262c1b,"
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,"
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kFileSignature[] =
    "20785f605aa2abd150b107571eaa94aada79c4174506726cc4a079de6134ae8198c7f68ce93759dc9fd6964587a8faf7fce8f79c5929b713"
    "fe5d9bc6c949dd25";
const char kGameBlock[] = "Alpha:alpha|Beta Two:beta";
const char kGameFields[] = "v=1;version=1700000000;expires=1702592000;target=/;sha256=";
const char kGameSignature[] =
    "9e40787648654dbb31958d47d08144ebcd5c82d80b847f77b84590183c77b5384dd6ce68d054501fcce664448a39fc8cf394a215bda37ef9"
    "1b9af98a41cc0339";
// Format 2, signed the same way with a key of its own: the sizes, and a field this
// reader does not know.
const char kPublicKey2[] =
    "04d09aa6af9a957398f5d10b65daa12ffe5ff0847b7d9f0027214378af2c05773256d6495f9393f396ff2d64d576d79b3551e3c887bedee2f"
    "deae1e4c2c88ef70d";
const char kFileFields2[] =
    "v=2;version=1700000000;expires=1702592000;target=/alpha/;sha256="
    "8942b35165060fe88fe85428f3be8eddce295f97277161797b54a2b838262c1b,"
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,"
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855;size=14,3,0;x-later=a%3Bb%2Cc%25";
const char kFileSignature2[] =
    "dd3144d8cdc17c99e07107b2f33320c52abcee12b73ac3e1411ac23e544937cd6530497e620782b6fef8a673f757df0c21b14ae3ea25c53e"
    "5989c390b3af6f19";
constexpr int64_t kNow = 1700000100;
const char kHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

std::string Reply(const std::string& block, const std::string& fields, const std::string& signature) {
    return std::string(kHead) + "[data]" + block + "[/data][sig]" + fields + ";sig=" + signature + "[/sig]";
}
std::string FileReply() {
    return Reply(kFileBlock, kFileFields, kFileSignature);
}
std::string GameReply() {
    return Reply(kGameBlock, kGameFields, kGameSignature);
}

SignedListStatus Check(const std::string& reply,
                       const std::string& target = "/alpha/",
                       int64_t now = kNow,
                       int64_t minimum = 0) {
    return VerifySignedList(reply, HexBytes(kPublicKey), target, now, minimum).status;
}

// The reply with the first `from` after position `after` replaced by `to`.
std::string Replace(std::string reply, const std::string& from, const std::string& to, size_t after = 0) {
    size_t at = reply.find(from, after);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? reply : reply.replace(at, from.size(), to);
}

TEST(SignedList, GoodListsAreAcceptedWithWhatTheySign) {
    SignedListResult result = VerifySignedList(FileReply(), HexBytes(kPublicKey), "/alpha/", kNow, 1700000000);
    ASSERT_EQ(result.status, SignedListStatus::kOk) << SignedListStatusText(result.status);
    EXPECT_EQ(result.fields.version, 1700000000);
    EXPECT_EQ(result.fields.expires, 1702592000);
    ASSERT_EQ(result.fields.sha256.size(), 3u);
    EXPECT_EQ(result.fields.sha256[0], Sha256Hex("Alpha\r\nalpha\r\n"));
    EXPECT_EQ(result.fields.sha256[1], Sha256Hex("abc"));
    EXPECT_EQ(result.fields.sha256[2], Sha256Hex(""));

    result = VerifySignedList(GameReply(), HexBytes(kPublicKey), "/", kNow, 0);
    EXPECT_EQ(result.status, SignedListStatus::kOk);
    EXPECT_TRUE(result.fields.sha256.empty());
    // Bytes after the block do not matter.
    EXPECT_EQ(Check(GameReply() + "\r\n<trailing>", "/"), SignedListStatus::kOk);
}

TEST(SignedList, AnyChangedByteIsABadSignature) {
    const std::string reply = FileReply();
    const size_t sig = reply.find("[sig]");
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"readme.txt", "readme.txu"},                                              // the data block
        {"900150983cd24fb0d6963f7d28e17f72", "900150983cd24fb0d6963f7d28e17f73"},  // a fingerprint
        {"ba7816bf8f01cfea", "ba7816bf8f01cfeb"},                                  // a SHA-256
        {"version=1700000000", "version=1700000001"},                              // the version
        {"expires=1702592000", "expires=1802592000"},                              // the expiry
        {"target=/alpha/", "target=/alphb/"},                                      // the target
        {"sig=2078", "sig=2079"},                                                  // the signature
        {"|maps/a b.bin:d41d8cd98f00b204e9800998ecf8427e[", "|maps/a b.bin:d41d8cd98f00b204e9800998ecf8427e|["}};
    for (const auto& [from, to] : changes)
        EXPECT_EQ(Check(Replace(reply, from, to)), SignedListStatus::kBadSignature) << to;
    // Swapping two digests keeps every value valid but breaks the order.
    std::string swapped = Replace(reply, Sha256Hex("abc"), Sha256Hex(""), sig);
    swapped = Replace(swapped, Sha256Hex(""), Sha256Hex("abc"), swapped.find(Sha256Hex("")) + 64);
    EXPECT_EQ(Check(swapped), SignedListStatus::kBadSignature);
    // Another publisher's key.
    EXPECT_EQ(VerifySignedList(reply, HexBytes(std::string(kPublicKey).replace(2, 2, "b8")), "/alpha/", kNow, 0).status,
              SignedListStatus::kBadSignature);
}

TEST(SignedList, ReplayedExpiredOlderAndUnsignedListsAreRefused) {
    // Sound lists in the wrong place or time.
    EXPECT_EQ(Check(FileReply(), "/beta/"), SignedListStatus::kWrongTarget);
    EXPECT_EQ(Check(FileReply(), "/"), SignedListStatus::kWrongTarget);
    EXPECT_EQ(Check(GameReply(), "/alpha/"), SignedListStatus::kWrongTarget);
    EXPECT_EQ(Check(FileReply(), "/alpha/", 1702591999), SignedListStatus::kOk);
    EXPECT_EQ(Check(FileReply(), "/alpha/", 1702592000), SignedListStatus::kExpired);
    EXPECT_EQ(Check(FileReply(), "/alpha/", kNow, 1700000001), SignedListStatus::kOlderVersion);

    // No block, or not right behind the data.
    for (const std::string& reply :
         {std::string(kHead) + "[data]" + kFileBlock + "[/data]", Replace(FileReply(), "[/data][sig]", "[/data] [sig]"),
          Replace(FileReply(), "[/data]", "[/dat]"), std::string("[sig]") + kFileFields + "[/sig]", std::string()})
        EXPECT_EQ(Check(reply), SignedListStatus::kUnsigned) << reply;

    // Blocks that do not parse; none of them reaches the signature check.
    const std::string reply = FileReply();
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"[/sig]", ""},
        {"v=1;", "v=2;"},
        {"version=1700000000", "version=-1700000000"},
        {"version=1700000000", "version=1234567890123456789"},
        {"expires=1702592000;", "expires=;"},
        {"target=/alpha/", "target=alpha/"},
        {"target=/alpha/", "target=/al/pha/"},
        {"ba7816bf8f01cfea", "BA7816BF8F01CFEA"},
        {"ba7816bf8f01cfea", "ba7816bf8f01cfe"},
        {",e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", ""},  // a digest short
        {";sig=2078", ";sig=078"},
        {";sig=2078", ";sig=\n078"},
    };
    for (const auto& [from, to] : broken)
        EXPECT_EQ(Check(Replace(reply, from, to)), SignedListStatus::kMalformed) << to;
    // A game list carries no digests.
    EXPECT_EQ(Check(Replace(GameReply(), "sha256=;", "sha256=" + Sha256Hex("") + ";"), "/"),
              SignedListStatus::kMalformed);
}

TEST(SignedList, Format2SignsEachFilesSizeAndIsReadStrictly) {
    const std::string reply = Reply(kFileBlock, kFileFields2, kFileSignature2);
    SignedListResult result = VerifySignedList(reply, HexBytes(kPublicKey2), "/alpha/", kNow, 0);
    ASSERT_EQ(result.status, SignedListStatus::kOk) << SignedListStatusText(result.status);
    EXPECT_EQ(result.fields.format, 2);
    EXPECT_EQ(result.fields.sizes, (std::vector<int64_t>{14, 3, 0}));
    EXPECT_EQ(result.fields.sha256[1], Sha256Hex("abc"));
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"size=14,3,0", "size=14,4,0"}, {"x-later=a%3Bb", "x-later=a%3Bc"}})
        EXPECT_EQ(VerifySignedList(Replace(reply, from, to), HexBytes(kPublicKey2), "/alpha/", kNow, 0).status,
                  SignedListStatus::kBadSignature)
            << to;
    // Format 1 still reads, without sizes.
    result = VerifySignedList(FileReply(), HexBytes(kPublicKey), "/alpha/", kNow, 0);
    EXPECT_EQ(result.status, SignedListStatus::kOk);
    EXPECT_EQ(result.fields.format, 1);
    EXPECT_TRUE(result.fields.sizes.empty());

    const std::vector<std::pair<std::string, std::string>> broken = {
        {"size=14,3,0", "size=14,3"},                   // a size short
        {"size=14,3,0", "size=14,03,0"},                // not as written
        {"size=14,3,0", "size=14,1125899906842625,0"},  // past the largest size
        {"size=14,3,0", "size=14,-3,0"},
        {";size=14,3,0", ""},                          // no sizes
        {";size=14,3,0", ";size=14,3,0;size=14,3,0"},  // a field twice
        {";x-later=", ";version=1;x-later="},
        {"version=1700000000", "version=01700000000"},
        {"x-later=a%3Bb", "x-later=a%3bb"},  // escapes are upper case, and only these three
        {"x-later=a%3Bb", "x-later=a%41b"},
        {"x-later=a%3Bb", "x-later=a%3"},
        {"target=/alpha/", "target=/al,pha/"},  // a raw separator in a text
        {"x-later=", "X-later="},
        {"x-later=", "sig="},  // the signature's key inside the signed part
        {"x-later=", "x_later="},
        {"x-later=", "x-later"},
        {"target=/alpha/", "target=/al%2Fpha/"},
        {"v=2;", "v=3;"},
    };
    for (const auto& [from, to] : broken)
        EXPECT_EQ(Check(Replace(reply, from, to)), SignedListStatus::kMalformed) << to;
    // A later field may be a list.
    SignedListFields later;
    EXPECT_EQ(ParseSignedList(Replace(reply, "x-later=a%3Bb%2Cc%25", "x-later=a,b%2Cc,"), later),
              SignedListStatus::kOk);
}

TEST(SignedList, TheBuilderSignsExactlyTheTextTheVerifierChecks) {
    SignedListFields fields;
    fields.format = 1;
    fields.version = 1700000000;
    fields.expires = 1702592000;
    fields.target = "/alpha/";
    fields.sha256 = {Sha256Hex("Alpha\r\nalpha\r\n"), Sha256Hex("abc"), Sha256Hex("")};
    const std::string expectedMessage = std::string("ZEFO-SIGNED-LIST\n") + kFileFields + "\n" + kFileBlock;
    std::string signedMessage;
    std::string text = SignedListText(fields, kFileBlock, [&](std::string_view message) {
        signedMessage = std::string(message);
        return HexBytes(kFileSignature);
    });
    EXPECT_EQ(signedMessage, expectedMessage);
    EXPECT_EQ(std::string(kHead) + "[data]" + kFileBlock + "[/data]" + text, FileReply());

    auto sign = [](std::string_view) { return std::string(64, 'x'); };
    EXPECT_EQ(SignedListText(fields, kFileBlock, [](std::string_view) { return std::string(63, 'x'); }), "");
    EXPECT_EQ(SignedListText(fields, "a:1|b:2", sign), "") << "two records, three digests";
    EXPECT_EQ(SignedListText(fields, std::string(kFileBlock) + "[/data]", sign), "");
    fields.sha256[1] = "ABC";
    EXPECT_EQ(SignedListText(fields, kFileBlock, sign), "");
    fields.sha256.clear();
    fields.target = "/";
    EXPECT_NE(SignedListText(fields, "A:a", sign), "");
    fields.target = "/a\nb/";
    EXPECT_EQ(SignedListText(fields, "", sign), "");

    // Format 2 (the one written unless told otherwise) escapes the separators in the
    // target, and reads back what it wrote.
    SignedListFields sized;
    sized.version = 1700000000;
    sized.expires = 1702592000;
    sized.target = "/a;b,c%/";
    sized.sha256 = {Sha256Hex("abc"), Sha256Hex("")};
    sized.sizes = {3, 0};
    text = SignedListText(sized, "x:1|y:2", [&](std::string_view message) {
        signedMessage = std::string(message);
        return std::string(64, 'x');
    });
    const std::string fields2 =
        "v=2;version=1700000000;expires=1702592000;target=/a%3Bb%2Cc%25/;sha256=" + Sha256Hex("abc") + "," +
        Sha256Hex("") + ";size=3,0";
    EXPECT_EQ(signedMessage, "ZEFO-SIGNED-LIST\n" + fields2 + "\nx:1|y:2");
    SignedListFields parsed;
    ASSERT_EQ(ParseSignedList("[data]x:1|y:2[/data]" + text, parsed), SignedListStatus::kOk) << text;
    EXPECT_EQ(parsed.target, sized.target);
    EXPECT_EQ(parsed.sizes, sized.sizes);
    EXPECT_EQ(parsed.sha256, sized.sha256);
    sized.sizes = {3};
    EXPECT_EQ(SignedListText(sized, "x:1|y:2", sign), "") << "two digests, one size";
    sized.sizes = {3, kMaxSignedSize + 1};
    EXPECT_EQ(SignedListText(sized, "x:1|y:2", sign), "");
    sized.format = 1;
    sized.sizes.clear();
    EXPECT_NE(SignedListText(sized, "x:1|y:2", sign).find("[sig]v=1;"), std::string::npos);
}

TEST(SignedList, MirrorsAreSignedInFormat2AndOnlyUsableOnesAreTaken) {
    SignedListFields fields;
    fields.version = 1700000000;
    fields.expires = 1702592000;
    fields.target = "/alpha/";
    fields.sha256 = {Sha256Hex("abc")};
    fields.sizes = {3};
    fields.mirrors = {"https://a.example/www/", "http://b.example/x;y,z%41/"};
    auto sign = [](std::string_view) { return std::string(64, 'x'); };
    const std::string text = SignedListText(fields, "x:1", sign);
    EXPECT_NE(text.find(";size=3;mirror=https://a.example/www/,http://b.example/x%3By%2Cz%2541/;sig="),
              std::string::npos)
        << text;
    SignedListFields parsed;
    ASSERT_EQ(ParseSignedList("[data]x:1[/data]" + text, parsed), SignedListStatus::kOk);
    EXPECT_EQ(parsed.mirrors, fields.mirrors);

    // What a later publisher may name that this reader does not take is left aside,
    // not held against the list; the field twice is.
    const std::string later =
        Replace("[data]x:1[/data]" + text, "mirror=https://a.example/www/", "mirror=ftp://a.example/,http://ok/");
    ASSERT_EQ(ParseSignedList(later, parsed), SignedListStatus::kOk);
    EXPECT_EQ(parsed.mirrors, (std::vector<std::string>{"http://ok/", "http://b.example/x;y,z%41/"}));
    EXPECT_EQ(ParseSignedList(Replace(later, ";sig=", ";mirror=http://c/;sig="), parsed), SignedListStatus::kMalformed);

    // The builder writes only mirrors every reader takes, and none in format 1.
    fields.mirrors = {"http://a/", "http://a b/"};
    EXPECT_EQ(SignedListText(fields, "x:1", sign), "");
    fields.mirrors.clear();
    for (int i = 0; i <= static_cast<int>(kMaxMirrors); ++i)
        fields.mirrors.push_back("http://m" + std::to_string(i) + "/");
    EXPECT_EQ(SignedListText(fields, "x:1", sign), "");
    fields.mirrors.resize(1);
    fields.format = 1;
    fields.sizes.clear();
    EXPECT_EQ(SignedListText(fields, "x:1", sign), "");
}

// Programs without the publisher's key read up to "[/data]" and never see the block.
class SignedListOldClient : public NetTest {
  protected:
    ScriptedServer server;
};

TEST_F(SignedListOldClient, ReadsTheSameEntriesFromASignedReply) {
    auto records = [](const std::string& reply) {
        std::vector<std::string> found;
        ForEachRecord(TextBetween(reply, "[data]", "[/data]"), [&](std::string_view a, std::string_view b) {
            found.push_back(std::string(a) + "=" + std::string(b));
        });
        return found;
    };
    const std::string unsignedFiles = std::string(kHead) + "[data]" + kFileBlock + "[/data]";
    EXPECT_EQ(records(FileReply()), records(unsignedFiles));
    EXPECT_EQ(records(FileReply()).size(), 3u);

    server.EnqueueReply(FileReply());
    FileList files;
    bool complete = false;
    EXPECT_EQ(LoadFileList(server.Host(), "alpha", observer,
                           [&](FileList&& list, bool whole) {
                               files = std::move(list);
                               complete = whole;
                           }),
              ListResult::Loaded);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[2].path, "maps/a b.bin");
    EXPECT_EQ(files[2].fingerprint, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_TRUE(complete);

    server.EnqueueReply(GameReply());
    GameList games;
    EXPECT_EQ(LoadGameList(server.Host(), observer, [&](GameList&& list) { games = std::move(list); }),
              ListResult::Loaded);
    ASSERT_EQ(games.size(), 2u);
    EXPECT_EQ(games[1].name, "Beta Two");
    EXPECT_EQ(games[1].folder, "beta");
    EXPECT_TRUE(observer.Messages().empty());
}

}  // namespace
}  // namespace zefo::test
