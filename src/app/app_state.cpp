#include "app/app_state.h"

#include <memory>

namespace zefo {

FileEntry::FileEntry(std::string entryPath, std::string entryFingerprint)
    : path(std::move(entryPath)), fingerprint(std::move(entryFingerprint)) {}

FileEntry::FileEntry(const FileEntry& other)
    : path(other.path),
      localName(other.localName),
      fingerprint(other.fingerprint),
      chosen(other.chosen.load()),
      upToDate(other.upToDate.load()),
      failed(other.failed.load()) {}

FileEntry& FileEntry::operator=(const FileEntry& other) {
    if (this != &other) {
        path = other.path;
        localName = other.localName;
        fingerprint = other.fingerprint;
        chosen.store(other.chosen.load());
        upToDate.store(other.upToDate.load());
        failed.store(other.failed.load());
    }
    return *this;
}

TextSnapshot AppState::Snapshot() const {
    std::lock_guard guard(textLock);
    return TextSnapshot{settings, gameName, gameFolder, installFolder};
}

namespace {
std::unique_ptr<AppState> instance = std::make_unique<AppState>();
}

AppState& State() {
    return *instance;
}

void ResetState() {
    instance = std::make_unique<AppState>();
}

}  // namespace zefo
