// The publisher's signature block of a list reply, as pure functions (no I/O).
// A signed reply is "...[data]BLOCK[/data][sig]FIELDS;sig=R||S[/sig]", FIELDS
// being "v=1;version=N;expires=N;target=T;sha256=D,D,..." on one line. The
// signature covers "ZEFO-SIGNED-LIST\n" + FIELDS + "\n" + BLOCK, BLOCK being the
// exact bytes between the first "[data]" and the "[/data]" after it.
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

enum class SignedListStatus { kOk, kUnsigned, kMalformed, kBadSignature, kWrongTarget, kExpired, kOlderVersion };

struct SignedListFields {
    int64_t version = 0;              // publish time in seconds; grows with every publish
    int64_t expires = 0;              // seconds since 1970 from which the list is refused
    std::string target;               // "/" for the game list, "/FOLDER/" for a file list
    std::vector<std::string> sha256;  // 64 lowercase hex digits per listed file, in list order
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

// The "[sig]...[/sig]" text that follows "[data]" + `block` + "[/data]".
// `sign` returns the 64-byte signature (r then s) of the message it is given.
// Empty when a field is out of bounds or `sign` fails.
std::string SignedListText(const SignedListFields& fields,
                           std::string_view block,
                           const std::function<std::string(std::string_view message)>& sign);

// A short English name of the status, for logs and status lines.
const char* SignedListStatusText(SignedListStatus status);

}  // namespace zefo
