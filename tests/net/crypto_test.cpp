#include "net/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace zefo {
namespace {

// Made with the openssl command line: a P-256 key and its signature of kMessage.
const char kMessage[] = "message for the curve";
const char kPublicKey[] =
    "047b313b6a673fcf08ee4b5bce429a2da755cdeebc5e95ce372687b97a721c59c8135f812791b28c8d09539231b00fd58d8c74dc7971599b38"
    "857635cf93d6d0f7";
const char kSignature[] =
    "2b88ea2debc73a0e5ae93dd8a436a70148945722b030cb2cbd81e614446df1db657b9485ea55a778ae1895fa37aeb8abce91366eb48525ee"
    "6e2ef02e78b17461";

TEST(Sha256, KnownDigestsWhateverThePieces) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // A million "a" in pieces that straddle the 64-byte blocks every way.
    const std::string a(1'000'000, 'a');
    Sha256 digest;
    size_t at = 0;
    for (size_t piece = 0; at < a.size(); piece = (piece * 7 + 13) % 200) {
        size_t length = std::min(piece, a.size() - at);
        digest.Update(a.data() + at, length);
        at += length;
    }
    uint8_t raw[32];
    ASSERT_TRUE(digest.Final(raw));
    EXPECT_EQ(HexText(std::string_view(reinterpret_cast<const char*>(raw), sizeof raw)),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    EXPECT_EQ(HexBytes("00ff7F"), std::string("\x00\xff\x7f", 3));
    for (const char* bad : {"0", "0g", "zz", "123"})
        EXPECT_EQ(HexBytes(bad), "") << bad;
}

TEST(VerifyP256, AcceptsTheSignatureAndRefusesAnyChange) {
    const std::string key = HexBytes(kPublicKey);
    const std::string signature = HexBytes(kSignature);
    ASSERT_EQ(key.size(), 65u);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(VerifyP256(key, kMessage, signature));

    std::string message = kMessage;
    message[3] ^= 1;
    EXPECT_FALSE(VerifyP256(key, message, signature));
    EXPECT_FALSE(VerifyP256(key, std::string(kMessage) + " ", signature));
    for (size_t at : {0u, 31u, 32u, 63u}) {
        std::string changed = signature;
        changed[at] ^= 0x40;
        EXPECT_FALSE(VerifyP256(key, kMessage, changed)) << at;
    }
    std::string otherKey = key;
    otherKey[64] ^= 1;  // no longer on the curve
    EXPECT_FALSE(VerifyP256(otherKey, kMessage, signature));
    std::string compressed = key;
    compressed[0] = 0x02;
    EXPECT_FALSE(VerifyP256(compressed, kMessage, signature));
    EXPECT_FALSE(VerifyP256(key.substr(0, 64), kMessage, signature));
    EXPECT_FALSE(VerifyP256(key, kMessage, signature.substr(0, 63)));
    EXPECT_FALSE(VerifyP256(key, kMessage, std::string(64, '\0')));
}

// Signatures whose r or s starts with a zero byte (about one in 128 the publisher
// makes) are as valid as any: made with the openssl command line, r and s padded to
// 32 bytes as the publisher writes them.
TEST(VerifyP256, AcceptsSignaturesWithALeadingZeroByte) {
    const std::string key = HexBytes(
        "04f7405dc7f4100148bc54948e749e966204d2bfa4d8b089e9350b93c22531636583d7f256f1d83977d8f5c6683b47b6522a1803a258c9"
        "f8"
        "14a533baa99ebf3b41");
    const char* signatures[] = {
        "005545f8d3e4b418d1257f9609b787eede59b50366b7bd705c9f220bb6eef0e3"
        "eaff42d0c2011cadec5ca19f8855a4189d69503c186eacb38014c0208dba20a1",
        "e8dec40bd07965d3ca8183098855dd845e5349a44872fbe75614d448a40584ce"
        "00378623988596bdd2fba57b80193a05c163ada70a47ff256ff3818a4a54ecc6",
    };
    for (const char* signature : signatures) {
        EXPECT_TRUE(VerifyP256(key, kMessage, HexBytes(signature))) << signature;
        std::string changed = HexBytes(signature);
        changed[40] ^= 1;
        EXPECT_FALSE(VerifyP256(key, kMessage, changed)) << signature;
    }
}

}  // namespace
}  // namespace zefo
