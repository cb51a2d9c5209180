#include "net/signed_list.h"

#include "net/crypto.h"
#include "net/text_ops.h"

namespace zefo {

namespace {

constexpr std::string_view kDataOpen = "[data]";
constexpr std::string_view kDataClose = "[/data]";
constexpr std::string_view kSigOpen = "[sig]";
constexpr std::string_view kSigClose = "[/sig]";
constexpr std::string_view kMessageHead = "ZEFO-SIGNED-LIST\n";
constexpr std::string_view kSigField = ";sig=";
constexpr std::string_view kDigestField = ";sha256=";
constexpr size_t kDigestHex = 64;
constexpr size_t kSignatureHex = 128;
constexpr size_t kMaxNumberDigits = 18;  // fits int64_t
constexpr size_t kMaxTarget = 1100;      // "/" + a listed folder name + "/", with room
// Every digest with its comma, plus the other fields.
constexpr size_t kMaxFieldsText = kMaxSignedDigests * (kDigestHex + 1) + 4096;

struct Located {
    std::string_view block;   // between "[data]" and "[/data]"
    std::string_view fields;  // between "[sig]" and "[/sig]"
};

// Finds the block the way the list parser does (the first "[data]" and the
// "[/data]" after it) and the signature block right behind it.
SignedListStatus Locate(std::string_view reply, Located& out) {
    size_t open = reply.find(kDataOpen);
    if (open == std::string_view::npos)
        return SignedListStatus::kUnsigned;
    size_t blockStart = open + kDataOpen.size();
    size_t close = reply.find(kDataClose, blockStart);
    if (close == std::string_view::npos)
        return SignedListStatus::kUnsigned;
    std::string_view rest = reply.substr(close + kDataClose.size());
    if (rest.substr(0, kSigOpen.size()) != kSigOpen)
        return SignedListStatus::kUnsigned;
    rest.remove_prefix(kSigOpen.size());
    size_t end = rest.substr(0, kMaxFieldsText + kSigClose.size()).find(kSigClose);
    if (end == std::string_view::npos)
        return SignedListStatus::kMalformed;
    out.block = reply.substr(blockStart, close - blockStart);
    out.fields = rest.substr(0, end);
    return SignedListStatus::kOk;
}

bool TakePrefix(std::string_view& text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// Decimal digits up to the next ";", which is consumed.
bool TakeNumber(std::string_view& text, int64_t& value) {
    size_t end = text.find(';');
    if (end == 0 || end == std::string_view::npos || end > kMaxNumberDigits)
        return false;
    value = 0;
    for (size_t i = 0; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    text.remove_prefix(end + 1);
    return true;
}

bool IsLowerHex(std::string_view text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool HasControl(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

bool ValidTarget(std::string_view target) {
    if (target == "/")
        return true;
    return target.size() >= 3 && target.size() <= kMaxTarget && target.front() == '/' && target.back() == '/' &&
           target.find('/', 1) == target.size() - 1 && !HasControl(target);
}

size_t CountRecords(std::string_view block) {
    size_t count = 0;
    ForEachRecord(block, [&count](std::string_view, std::string_view) { ++count; });
    return count;
}

bool DigestsFitBlock(const SignedListFields& fields, std::string_view block) {
    if (fields.target == "/")
        return fields.sha256.empty();
    return fields.sha256.size() == CountRecords(block);
}

// "v=1;...;sha256=..." without the signature.
std::string FieldsText(const SignedListFields& fields) {
    std::string text = "v=1;version=" + std::to_string(fields.version) + ";expires=" + std::to_string(fields.expires) +
                       ";target=" + fields.target + std::string(kDigestField);
    text.reserve(text.size() + fields.sha256.size() * (kDigestHex + 1));
    for (size_t i = 0; i < fields.sha256.size(); ++i) {
        if (i != 0)
            text += ',';
        text += fields.sha256[i];
    }
    return text;
}

std::string Message(std::string_view signedFields, std::string_view block) {
    std::string message;
    message.reserve(kMessageHead.size() + signedFields.size() + 1 + block.size());
    message += kMessageHead;
    message += signedFields;
    message += '\n';
    message += block;
    return message;
}

// Splits the fields text into its values; `signedPart` is the text the
// signature covers and `signature` the 64 bytes.
SignedListStatus ParseFields(std::string_view text,
                             SignedListFields& fields,
                             std::string_view& signedPart,
                             std::string& signature) {
    if (text.size() > kMaxFieldsText || HasControl(text))
        return SignedListStatus::kMalformed;
    // The target may hold ";" (folder names may), so the last two fields are
    // found from the end: neither a digest list nor a signature holds one.
    size_t sigAt = text.rfind(kSigField);
    if (sigAt == std::string_view::npos)
        return SignedListStatus::kMalformed;
    std::string_view sigHex = text.substr(sigAt + kSigField.size());
    signedPart = text.substr(0, sigAt);
    signature = sigHex.size() == kSignatureHex ? HexBytes(sigHex) : std::string();
    if (signature.size() != kSignatureHex / 2)
        return SignedListStatus::kMalformed;

    std::string_view rest = signedPart;
    if (!TakePrefix(rest, "v=1;version=") || !TakeNumber(rest, fields.version) || !TakePrefix(rest, "expires=") ||
        !TakeNumber(rest, fields.expires) || !TakePrefix(rest, "target="))
        return SignedListStatus::kMalformed;
    size_t digestAt = rest.rfind(kDigestField);
    if (digestAt == std::string_view::npos)
        return SignedListStatus::kMalformed;
    fields.target = std::string(rest.substr(0, digestAt));
    if (!ValidTarget(fields.target))
        return SignedListStatus::kMalformed;

    std::string_view digests = rest.substr(digestAt + kDigestField.size());
    fields.sha256.clear();
    if (digests.empty())
        return SignedListStatus::kOk;
    // Exact size first, so a bad count costs no allocation.
    if ((digests.size() + 1) % (kDigestHex + 1) != 0 || (digests.size() + 1) / (kDigestHex + 1) > kMaxSignedDigests)
        return SignedListStatus::kMalformed;
    fields.sha256.reserve((digests.size() + 1) / (kDigestHex + 1));
    for (size_t at = 0; at < digests.size(); at += kDigestHex + 1) {
        std::string_view digest = digests.substr(at, kDigestHex);
        bool separated = at + kDigestHex == digests.size() || digests[at + kDigestHex] == ',';
        if (!separated || !IsLowerHex(digest))
            return SignedListStatus::kMalformed;
        fields.sha256.emplace_back(digest);
    }
    return SignedListStatus::kOk;
}

SignedListStatus ParseLocated(std::string_view reply,
                              Located& located,
                              SignedListFields& fields,
                              std::string_view& signedPart,
                              std::string& signature) {
    SignedListStatus status = Locate(reply, located);
    if (status != SignedListStatus::kOk)
        return status;
    status = ParseFields(located.fields, fields, signedPart, signature);
    if (status == SignedListStatus::kOk && !DigestsFitBlock(fields, located.block))
        return SignedListStatus::kMalformed;
    return status;
}

}  // namespace

SignedListStatus ParseSignedList(std::string_view rawReply, SignedListFields& fields) {
    Located located;
    std::string_view signedPart;
    std::string signature;
    return ParseLocated(rawReply, located, fields, signedPart, signature);
}

SignedListResult VerifySignedList(std::string_view rawReply,
                                  std::string_view publicKey,
                                  std::string_view expectedTarget,
                                  int64_t nowSeconds,
                                  int64_t minimumVersion) {
    SignedListResult result;
    Located located;
    std::string_view signedPart;
    std::string signature;
    result.status = ParseLocated(rawReply, located, result.fields, signedPart, signature);
    if (result.status != SignedListStatus::kOk)
        return result;
    if (!VerifyP256(publicKey, Message(signedPart, located.block), signature))
        result.status = SignedListStatus::kBadSignature;
    else if (result.fields.target != expectedTarget)
        result.status = SignedListStatus::kWrongTarget;
    else if (result.fields.expires <= nowSeconds)
        result.status = SignedListStatus::kExpired;
    else if (result.fields.version < minimumVersion)
        result.status = SignedListStatus::kOlderVersion;
    return result;
}

std::string SignedListText(const SignedListFields& fields,
                           std::string_view block,
                           const std::function<std::string(std::string_view message)>& sign) {
    bool digestsOk = fields.sha256.size() <= kMaxSignedDigests;
    for (size_t i = 0; digestsOk && i < fields.sha256.size(); ++i)
        digestsOk = fields.sha256[i].size() == kDigestHex && IsLowerHex(fields.sha256[i]);
    if (!digestsOk || fields.version < 0 || fields.expires < 0 || !ValidTarget(fields.target) ||
        block.find(kDataClose) != std::string_view::npos || !DigestsFitBlock(fields, block))
        return {};
    const std::string text = FieldsText(fields);
    const std::string signature = sign(Message(text, block));
    if (signature.size() != kSignatureHex / 2)
        return {};
    return std::string(kSigOpen) + text + std::string(kSigField) + HexText(signature) + std::string(kSigClose);
}

const char* SignedListStatusText(SignedListStatus status) {
    switch (status) {
        case SignedListStatus::kOk:
            return "signed";
        case SignedListStatus::kUnsigned:
            return "not signed";
        case SignedListStatus::kMalformed:
            return "malformed signature block";
        case SignedListStatus::kBadSignature:
            return "signature does not match";
        case SignedListStatus::kWrongTarget:
            return "signed for another list";
        case SignedListStatus::kExpired:
            return "expired";
        case SignedListStatus::kOlderVersion:
            return "older than a list already accepted";
    }
    return "unknown";
}

}  // namespace zefo
