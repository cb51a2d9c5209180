// The publisher's signature block of a list reply, as pure functions (no I/O).
// A signed reply is "...[data]BLOCK[/data][sig]FIELDS;sig=R||S[/sig]", FIELDS
// being one line of "key=value" fields joined by ";". The signature covers
// "ZEFO-SIGNED-LIST\n" + FIELDS + "\n" + BLOCK, BLOCK being the exact bytes between
// the first "[data]" and the "[/data]" after it.
//
// Format 2 (written): "v=2;version=N;expires=N;target=T;sha256=D,D,...;size=N,N,...",
// and ";mirror=URL,URL,..." when the list names mirrors (net/mirrors.h).
// "v=2" comes first; the other fields in any order, each once; keys are lowercase
// letters, digits and "-". A value is one text or a list of texts joined by ","; in
// each text "%", ";" and "," stand as "%25", "%3B" and "%2C" and only so. Fields this
// reader does not know are signed like the others and left aside: a later field that
// a reader may ignore (mirrors, chunk digests) keeps v=2; one that changes how the
// known fields are read needs a new format.
// Format 1 (still read): "v=1;version=N;expires=N;target=T;sha256=D,D,..." in that
// order, the target as it is (it may hold ";"), no sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zefo {

// At most this many digests (one per listed file).
constexpr size_t kMaxSignedDigests = 1'000'000;
// The largest signed size of a file (a petabyte, as the largest body taken).
constexpr int64_t kMaxSignedSize = int64_t{1} << 50;
// The format SignedListText writes unless told otherwise.
constexpr int kSignedListFormat = 2;

enum class SignedListStatus { kOk, kUnsigned, kMalformed, kBadSignature, kWrongTarget, kExpired, kOlderVersion };

struct SignedListFields {
    int64_t version = 0;              // publish time in seconds; grows with every publish
    int64_t expires = 0;              // seconds since 1970 from which the list is refused
    std::string target;               // "/" for the game list, "/FOLDER/" for a file list
    std::vector<std::string> sha256;  // 64 lowercase hex digits per listed file, in list order
    std::vector<int64_t> sizes;       // format 2: each listed file's size in bytes, in list order; format 1: none
    // Format 2: the mirrors of the game's files. Read: the usable ones (UsableMirrors);
    // written: each must be usable, and format 1 carries none.
    std::vector<std::string> mirrors{};
    int format = kSignedListFormat;  // the block's "v": 1 or 2
};

struct SignedListResult {
    SignedListStatus status = SignedListStatus::kUnsigned;
    SignedListFields fields;  // as signed when status is kOk
};

// Reads the block's fields without checking the signature or the times: kOk,
// kUnsigned or kMalformed.
SignedListStatus ParseSignedList(std::string_view rawReply, SignedListFields& fields);

// Checks a reply as received (bytes, no conversion) against the publisher's
// `publicKey` (65 bytes: 0x04, X, Y). Refuses, in this order: no block, a
// malformed block, a signature that does not match, a target other than
// `expectedTarget`, an expiry at or before `nowSeconds`, a version below
// `minimumVersion`.
SignedListResult VerifySignedList(std::string_view rawReply,
                                  std::string_view publicKey,
                                  std::string_view expectedTarget,
                                  int64_t nowSeconds,
                                  int64_t minimumVersion);

// The "[sig]...[/sig]" text that follows "[data]" + `block` + "[/data]", in the
// fields' format (format 1 for clients that read no other, without sizes).
// `sign` returns the 64-byte signature (r then s) of the message it is given.
// Empty when a field is out of bounds or `sign` fails.
std::string SignedListText(const SignedListFields& fields,
                           std::string_view block,
                           const std::function<std::string(std::string_view message)>& sign);

// A short English name of the status, for logs and status lines.
const char* SignedListStatusText(SignedListStatus status);

}  // namespace zefo
