#include "net/signed_list.h"

#include <algorithm>

#include "base/ascii.h"
#include "net/crypto.h"
#include "net/mirrors.h"
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
constexpr size_t kMaxSizeDigits = 16;    // kMaxSignedSize has 16
constexpr size_t kMaxTarget = 1100;      // "/" + a listed folder name + "/", with room
// Every digest and size with their commas, plus room for the other fields.
constexpr size_t kMaxFieldsText = kMaxSignedDigests * (kDigestHex + 1 + kMaxSizeDigits + 1) + 65536;
// Format 2: fields in all, and the longest key.
constexpr size_t kMaxFields = 32;
constexpr size_t kMaxKey = 32;

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
    if (fields.format == 2 && fields.sizes.size() != fields.sha256.size())
        return false;
    if (fields.target == "/")
        return fields.sha256.empty();
    return fields.sha256.size() == CountRecords(block);
}

// Format 2's value escapes: the separators and the escape character itself.
void AppendEscaped(std::string& out, std::string_view value) {
    for (char c : value) {
        if (c == '%')
            out += "%25";
        else if (c == ';')
            out += "%3B";
        else if (c == ',')
            out += "%2C";
        else
            out += c;
    }
}

// The value of `escaped`; false when it holds a raw separator or any other escape.
bool Unescape(std::string_view escaped, std::string& value) {
    value.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == ';' || c == ',')
            return false;
        if (c != '%') {
            value += c;
            continue;
        }
        const std::string_view code = escaped.substr(i + 1, 2);
        if (code == "25")
            value += '%';
        else if (code == "3B")
            value += ';';
        else if (code == "2C")
            value += ',';
        else
            return false;
        i += 2;
    }
    return true;
}

void AppendDigests(std::string& text, const std::vector<std::string>& digests) {
    text.reserve(text.size() + digests.size() * (kDigestHex + 1));
    for (size_t i = 0; i < digests.size(); ++i) {
        if (i != 0)
            text += ',';
        text += digests[i];
    }
}

// The fields without the signature, in the fields' format.
std::string FieldsText(const SignedListFields& fields) {
    if (fields.format == 1) {
        std::string text = "v=1;version=" + std::to_string(fields.version) +
                           ";expires=" + std::to_string(fields.expires) + ";target=" + fields.target +
                           std::string(kDigestField);
        AppendDigests(text, fields.sha256);
        return text;
    }
    std::string text =
        "v=2;version=" + std::to_string(fields.version) + ";expires=" + std::to_string(fields.expires) + ";target=";
    AppendEscaped(text, fields.target);
    text += kDigestField;
    AppendDigests(text, fields.sha256);
    text += ";size=";
    for (size_t i = 0; i < fields.sizes.size(); ++i) {
        if (i != 0)
            text += ',';
        text += std::to_string(fields.sizes[i]);
    }
    if (!fields.mirrors.empty()) {
        text += ";mirror=";
        for (size_t i = 0; i < fields.mirrors.size(); ++i) {
            if (i != 0)
                text += ',';
            AppendEscaped(text, fields.mirrors[i]);
        }
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

// "D,D,..." (empty: none) into `digests`.
bool ParseDigests(std::string_view text, std::vector<std::string>& digests) {
    digests.clear();
    if (text.empty())
        return true;
    // Exact size first, so a bad count costs no allocation.
    if ((text.size() + 1) % (kDigestHex + 1) != 0 || (text.size() + 1) / (kDigestHex + 1) > kMaxSignedDigests)
        return false;
    digests.reserve((text.size() + 1) / (kDigestHex + 1));
    for (size_t at = 0; at < text.size(); at += kDigestHex + 1) {
        std::string_view digest = text.substr(at, kDigestHex);
        bool separated = at + kDigestHex == text.size() || text[at + kDigestHex] == ',';
        if (!separated || !IsLowerHexText(digest, kDigestHex))
            return false;
        digests.emplace_back(digest);
    }
    return true;
}

// A number as written: decimal digits without a leading zero, at most `digits` of them.
bool ParseCanonicalNumber(std::string_view text, size_t digits, int64_t& value) {
    if (text.empty() || text.size() > digits || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// "N,N,..." (empty: none) into `sizes`, each within kMaxSignedSize.
bool ParseSizes(std::string_view text, std::vector<int64_t>& sizes) {
    sizes.clear();
    if (text.empty())
        return true;
    const size_t count = static_cast<size_t>(std::count(text.begin(), text.end(), ',')) + 1;
    if (count > kMaxSignedDigests)
        return false;
    sizes.reserve(count);
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(text.find(',', start), text.size());
        int64_t size = 0;
        if (!ParseCanonicalNumber(text.substr(start, end - start), kMaxSizeDigits, size) || size > kMaxSignedSize)
            return false;
        sizes.push_back(size);
        if (end == text.size())
            return true;
        start = end + 1;
    }
}

// Format 1: the fields in their order. The target may hold ";" (folder names may),
// so the digest list is found from the end: it holds none.
SignedListStatus ParseFormat1(std::string_view rest, SignedListFields& fields) {
    fields.format = 1;
    fields.sizes.clear();
    fields.mirrors.clear();
    if (!TakePrefix(rest, "v=1;version=") || !TakeNumber(rest, fields.version) || !TakePrefix(rest, "expires=") ||
        !TakeNumber(rest, fields.expires) || !TakePrefix(rest, "target="))
        return SignedListStatus::kMalformed;
    size_t digestAt = rest.rfind(kDigestField);
    if (digestAt == std::string_view::npos)
        return SignedListStatus::kMalformed;
    fields.target = std::string(rest.substr(0, digestAt));
    if (!ValidTarget(fields.target) || !ParseDigests(rest.substr(digestAt + kDigestField.size()), fields.sha256))
        return SignedListStatus::kMalformed;
    return SignedListStatus::kOk;
}

// A list of escaped texts; each text goes to `visit` when given.
bool IsEscapedList(std::string_view text, const std::function<void(std::string&&)>& visit = {}) {
    std::string item;
    for (size_t start = 0;;) {
        const size_t end = std::min(text.find(',', start), text.size());
        if (!Unescape(text.substr(start, end - start), item))
            return false;
        if (visit)
            visit(std::move(item));
        if (end == text.size())
            return true;
        start = end + 1;
    }
}

// The mirror field: escaped URLs, of which the usable ones are kept. A URL this
// reader does not take is left aside like an unknown field, not held against the list.
bool ParseMirrors(std::string_view text, std::vector<std::string>& mirrors) {
    std::vector<std::string> urls;
    const bool ok = IsEscapedList(text, [&urls](std::string&& url) {
        // Only so many are looked at: a long field cannot make this allocate much.
        if (urls.size() < 4 * kMaxMirrors)
            urls.push_back(url.size() > kMaxMirrorUrl ? std::string() : std::move(url));
    });
    mirrors = UsableMirrors(urls);
    return ok;
}

bool IsKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKey)
        return false;
    for (char c : key)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    return true;
}

// Format 2: "v=2" and then "key=value" fields in any order, each once.
SignedListStatus ParseFormat2(std::string_view rest, SignedListFields& fields) {
    fields.format = 2;
    fields.mirrors.clear();
    if (!TakePrefix(rest, "v=2"))
        return SignedListStatus::kMalformed;
    enum Known { kVersion, kExpires, kTarget, kSha256, kSize, kMirror, kKnown };
    constexpr std::string_view kKeys[kKnown] = {"version", "expires", "target", "sha256", "size", "mirror"};
    bool seen[kKnown] = {};
    std::vector<std::string_view> others;
    size_t count = 1;
    while (!rest.empty()) {
        if (rest[0] != ';' || ++count > kMaxFields)
            return SignedListStatus::kMalformed;
        rest.remove_prefix(1);
        const size_t end = std::min(rest.find(';'), rest.size());
        const std::string_view field = rest.substr(0, end);
        rest.remove_prefix(end);
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos || !IsKey(field.substr(0, equals)))
            return SignedListStatus::kMalformed;
        const std::string_view key = field.substr(0, equals);
        const std::string_view text = field.substr(equals + 1);
        size_t known = 0;
        while (known < kKnown && kKeys[known] != key)
            ++known;
        if (known == kKnown) {
            // The signature's key and a key twice would read two ways.
            if (key == "v" || key == "sig" || std::find(others.begin(), others.end(), key) != others.end() ||
                !IsEscapedList(text))
                return SignedListStatus::kMalformed;
            others.push_back(key);
            continue;
        }
        if (seen[known])
            return SignedListStatus::kMalformed;
        seen[known] = true;
        bool ok = false;
        switch (known) {
            case kVersion:
                ok = ParseCanonicalNumber(text, kMaxNumberDigits, fields.version);
                break;
            case kExpires:
                ok = ParseCanonicalNumber(text, kMaxNumberDigits, fields.expires);
                break;
            case kTarget:
                ok = Unescape(text, fields.target) && ValidTarget(fields.target);
                break;
            case kSha256:
                ok = ParseDigests(text, fields.sha256);
                break;
            case kSize:
                ok = ParseSizes(text, fields.sizes);
                break;
            case kMirror:
                ok = ParseMirrors(text, fields.mirrors);
                break;
            default:
                break;
        }
        if (!ok)
            return SignedListStatus::kMalformed;
    }
    for (size_t known = 0; known < kMirror; ++known)
        if (!seen[known])
            return SignedListStatus::kMalformed;
    return SignedListStatus::kOk;
}

// Splits the fields text into its values; `signedPart` is the text the
// signature covers and `signature` the 64 bytes.
SignedListStatus ParseFields(std::string_view text,
                             SignedListFields& fields,
                             std::string_view& signedPart,
                             std::string& signature) {
    if (text.size() > kMaxFieldsText || HasControl(text))
        return SignedListStatus::kMalformed;
    // The signature comes last and holds no ";".
    size_t sigAt = text.rfind(kSigField);
    if (sigAt == std::string_view::npos)
        return SignedListStatus::kMalformed;
    std::string_view sigHex = text.substr(sigAt + kSigField.size());
    signedPart = text.substr(0, sigAt);
    signature = sigHex.size() == kSignatureHex ? HexBytes(sigHex) : std::string();
    if (signature.size() != kSignatureHex / 2)
        return SignedListStatus::kMalformed;
    if (signedPart.substr(0, 4) == "v=1;")
        return ParseFormat1(signedPart, fields);
    if (signedPart.substr(0, 4) == "v=2;")
        return ParseFormat2(signedPart, fields);
    return SignedListStatus::kMalformed;
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
        digestsOk = IsLowerHexText(fields.sha256[i], kDigestHex);
    // Format 1 has no sizes; format 2 one per digest.
    bool sizesOk = fields.format == 2 || (fields.format == 1 && fields.sizes.empty() && fields.mirrors.empty());
    bool mirrorsOk = fields.mirrors.size() <= kMaxMirrors && UsableMirrors(fields.mirrors) == fields.mirrors;
    for (size_t i = 0; sizesOk && i < fields.sizes.size(); ++i)
        sizesOk = fields.sizes[i] >= 0 && fields.sizes[i] <= kMaxSignedSize;
    if (!digestsOk || !sizesOk || !mirrorsOk || fields.version < 0 || fields.expires < 0 ||
        !ValidTarget(fields.target) || block.find(kDataClose) != std::string_view::npos ||
        !DigestsFitBlock(fields, block))
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
