#include "net/lists.h"

#include <algorithm>
#include <utility>

#include "net/clock.h"
#include "net/crypto.h"
#include "net/mirrors.h"
#include "net/server_request.h"
#include "net/signed_list.h"
#include "net/text_ops.h"
#include "support/settings.h"
#include "support/translations.h"

namespace zefo {

namespace {

// A list is read into memory whole; beyond this many records it is no game's and is
// refused before anything is stored.
constexpr size_t kMaxRecords = 1'000'000;

ListResult FromRequest(RequestResult result) {
    switch (result) {
        case RequestResult::Unreachable:
            return ListResult::Unreachable;
        case RequestResult::TimedOut:
            return ListResult::TimedOut;
        case RequestResult::Stopped:
            return ListResult::Stopped;
        case RequestResult::Done:
            break;
    }
    return ListResult::Loaded;
}

ListResult Refuse(Observer& observer) {
    observer.Status(LookupText("ERR_LIST"));
    return ListResult::Refused;
}

// The signature check of a program built with a publisher key. The newest version
// accepted before for the target, in the store or a floor file, is the lowest one
// taken now.
class SignatureCheck {
  public:
    SignatureCheck(const ListTrust& trust, std::string target) : trust_(trust), target_(std::move(target)) {}

    bool required() const { return !trust_.publisherKey.empty(); }

    // True when the reply carries a valid signature for this list; otherwise reports
    // "ERR_SIGNATURE" with the reason.
    bool Verify(std::string_view rawReply, Observer& observer) {
        stored_ = ReadAcceptedVersion(trust_.versionsFile, target_);
        int64_t minimum = stored_;
        for (const std::string& file : trust_.floorFiles)
            minimum = std::max(minimum, ReadAcceptedVersion(file, target_));
        SignedListResult result =
            VerifySignedList(rawReply, trust_.publisherKey, target_, WallClockMilliseconds() / 1000, minimum);
        if (result.status != SignedListStatus::kOk) {
            observer.Status(Translate("ERR_SIGNATURE", SignedListStatusText(result.status)));
            return false;
        }
        fields_ = std::move(result.fields);
        return true;
    }

    // The signed SHA-256 digests, one per record in list order.
    const std::vector<std::string>& digests() const { return fields_.sha256; }
    // The signed sizes, one per record in list order; none in a list of format 1.
    const std::vector<int64_t>& sizes() const { return fields_.sizes; }
    // The signed mirrors, usable ones only.
    const std::vector<std::string>& mirrors() const { return fields_.mirrors; }

    // Called once the list was handed over: later lists may not be older. A version
    // known only from a floor file is taken into the store too.
    void Accepted() {
        if (fields_.version > stored_)
            WriteAcceptedVersion(trust_.versionsFile, target_, fields_.version);
    }

  private:
    const ListTrust& trust_;
    std::string target_;
    SignedListFields fields_;
    int64_t stored_ = 0;
};

}  // namespace

std::string BuiltInPublisherKey() {
    return HexBytes(ZEFO_PUBLISHER_KEY);
}

ListTrust KeptVersionsTrust(const std::string& publisherKey) {
    ListTrust trust;
    trust.publisherKey = publisherKey;
    std::vector<std::string> files = ListVersionsFiles();
    if (!files.empty()) {
        trust.versionsFile = files.front();
        trust.floorFiles.assign(files.begin() + 1, files.end());
    }
    return trust;
}

ListTrust BuiltInTrust() {
    const std::string key = BuiltInPublisherKey();
    return key.empty() ? ListTrust{} : KeptVersionsTrust(key);
}

FileEntry::FileEntry(std::string entryPath, std::string entryFingerprint)
    : path(std::move(entryPath)), fingerprint(std::move(entryFingerprint)) {}

FileEntry::FileEntry(const FileEntry& other)
    : path(other.path),
      localName(other.localName),
      fingerprint(other.fingerprint),
      sha256(other.sha256),
      size(other.size),
      chosen(other.chosen.load()),
      upToDate(other.upToDate.load()),
      failed(other.failed.load()) {}

FileEntry& FileEntry::operator=(const FileEntry& other) {
    if (this != &other) {
        path = other.path;
        localName = other.localName;
        fingerprint = other.fingerprint;
        sha256 = other.sha256;
        size = other.size;
        chosen.store(other.chosen.load());
        upToDate.store(other.upToDate.load());
        failed.store(other.failed.load());
    }
    return *this;
}

bool ParseGameBlock(std::string_view block, GameList& games) {
    games.clear();
    const size_t records = CountRecords(block);
    if (records > kMaxRecords)
        return false;
    games.reserve(records);
    ForEachRecord(block, [&games](std::string_view name, std::string_view folder) {
        // A folder with control characters would become part of the file-list request.
        if (!HasControlCharacters(folder))
            games.push_back(GameEntry{std::string(folder), std::string(name)});
    });
    return true;
}

bool FileBlockError(std::string_view block, std::string& errorKey) {
    // The error test looks at the whole block split at ":", ignoring "|".
    if (TextField(block, 1, ":") != "error")
        return false;
    errorKey = TextField(block, 2, ":");
    return true;
}

FileBlockResult ParseFileBlock(std::string_view block,
                               FileList& files,
                               std::string& errorKey,
                               const std::vector<std::string>* digests,
                               const std::vector<int64_t>* sizes) {
    files.clear();
    if (FileBlockError(block, errorKey))
        return FileBlockResult::ErrorReply;
    const size_t records = CountRecords(block);
    if (records > kMaxRecords)
        return FileBlockResult::TooManyRecords;
    // The digests follow the records as signed; a block that decodes into other
    // records than were signed cannot be matched with them.
    if ((digests && records != digests->size()) || (sizes && !sizes->empty() && records != sizes->size()))
        return FileBlockResult::NotAsSigned;
    files.reserve(records);
    size_t record = 0;
    ForEachRecord(block, [&](std::string_view path, std::string_view fingerprint) {
        if (!path.empty()) {
            files.emplace_back(std::string(path), std::string(fingerprint));
            if (digests)
                files.back().sha256 = (*digests)[record];
            if (sizes && !sizes->empty())
                files.back().size = (*sizes)[record];
        }
        ++record;
    });
    return FileBlockResult::Files;
}

ListResult LoadGameList(const ServerAccess& access,
                        Observer& observer,
                        const std::function<void(GameList&&)>& store,
                        const ListTrust& trust) {
    ListResult outcome = ListResult::Loaded;
    SignatureCheck signature(trust, "/");
    RequestResult request = ServerRequest(access, "/", observer, signature.required(),
                                          [&](const std::string& block, std::string_view rawReply) {
                                              if (signature.required() && !signature.Verify(rawReply, observer)) {
                                                  outcome = ListResult::ErrorReply;
                                                  return;
                                              }
                                              GameList games;
                                              if (!ParseGameBlock(block, games)) {
                                                  outcome = Refuse(observer);
                                                  return;
                                              }
                                              store(std::move(games));
                                              if (signature.required())
                                                  signature.Accepted();
                                              observer.Status(LookupText("GAMES_LOADED"));
                                          });
    return request == RequestResult::Done ? outcome : FromRequest(request);
}

ListResult LoadFileList(const ServerAccess& access,
                        const std::string& gameFolder,
                        Observer& observer,
                        const std::function<void(FileList&& files, bool complete)>& store,
                        const ListTrust& trust,
                        std::vector<std::string>* mirrors) {
    if (mirrors)
        mirrors->clear();
    // The folder comes from the game list or from files on disk; control characters in
    // it would end the request line and add lines of their own.
    if (HasControlCharacters(gameFolder))
        return Refuse(observer);
    ListResult outcome = ListResult::Loaded;
    const std::string target = "/" + gameFolder + "/";
    SignatureCheck signature(trust, target);
    RequestResult request = ServerRequest(
        access, target, observer, signature.required(), [&](const std::string& block, std::string_view rawReply) {
            std::string errorKey;
            if (FileBlockError(block, errorKey)) {
                store({}, false);
                observer.Status(LookupText(errorKey));
                outcome = ListResult::ErrorReply;
                return;
            }
            if (signature.required() && !signature.Verify(rawReply, observer)) {
                store({}, false);
                outcome = ListResult::ErrorReply;
                return;
            }
            FileList files;
            if (ParseFileBlock(block, files, errorKey, signature.required() ? &signature.digests() : nullptr,
                               signature.required() ? &signature.sizes() : nullptr) != FileBlockResult::Files) {
                store({}, false);
                outcome = Refuse(observer);
                return;
            }
            // A signed list's mirrors are the signed ones; a line before the block is
            // anyone's.
            if (mirrors)
                *mirrors = signature.required() ? signature.mirrors() : MirrorsFromHead(rawReply);
            store(std::move(files), true);
            if (signature.required())
                signature.Accepted();
            observer.Status(LookupText("FILES_LOADED"));
        });
    return request == RequestResult::Done ? outcome : FromRequest(request);
}

}  // namespace zefo
