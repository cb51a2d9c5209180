#include "sync/http_download.h"

#include "base/path.h"

namespace zefo {

bool DownloadFile(HttpClient& client,
                  const Location& location,
                  const SafeFolder& folder,
                  const std::string& name,
                  const DownloadChecks& checks,
                  Observer* observer,
                  const HttpClient::FileProgress& progress) {
    IncomingFile incoming;
    if (incoming.Open(folder, name, checks) != IncomingFile::OpenResult::Ready)
        return false;
    return client.Download(location, incoming, observer, progress);
}

bool DownloadFromSources(HttpClient& client,
                         MirrorSet& mirrors,
                         const Location& server,
                         const SafeFolder& folder,
                         const std::string& name,
                         const DownloadChecks& checks,
                         Observer* observer,
                         const HttpClient::FileProgress& progress) {
    IncomingFile incoming;
    return incoming.Open(folder, name, checks) == IncomingFile::OpenResult::Ready &&
           DownloadFromSources(client, mirrors, server, incoming, observer, progress);
}

bool DownloadFromSources(HttpClient& client,
                         MirrorSet& mirrors,
                         const Location& server,
                         IncomingFile& incoming,
                         Observer* observer,
                         const HttpClient::FileProgress& progress) {
    for (const auto& [index, location] : mirrors.Sources(server)) {
        if (!mirrors.Use(index))
            continue;
        if (client.Download(location, incoming, observer, progress)) {
            mirrors.Done(index, true);
            return true;
        }
        if (index == MirrorSet::kServer)
            return false;
        if (observer && observer->StopRequested()) {
            mirrors.Done(index, false);
            return false;
        }
        mirrors.SetAside(index);
        // The next source goes on from what was kept (a failed commit kept nothing).
        if (!incoming.Reopen())
            return false;
    }
    return false;
}

bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const DownloadChecks& checks,
                  Observer* observer) {
    Location location;
    if (!ParseUrl(url, location))
        return false;
    location.pin = checks.pin;
    HttpClient client(false);
    return DownloadFile(client, location, folder, name, checks, observer);
}

bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const std::string& expectedMd5,
                  Observer* observer) {
    return HttpDownload(url, folder, name, DownloadChecks{expectedMd5, {}, {}}, observer);
}

bool HttpDownload(const std::string& url,
                  const std::string& localPath,
                  const std::string& expectedMd5,
                  Observer* observer) {
    size_t cut = localPath.size();
    while (cut > 0 && !IsPathSeparator(localPath[cut - 1]))
        --cut;
    SafeFolder folder;
    if (folder.Open(cut == 0 ? "." : localPath.substr(0, cut), "", false) != SafeFolder::OpenResult::Opened)
        return false;
    return HttpDownload(url, folder, localPath.substr(cut), expectedMd5, observer);
}

}  // namespace zefo
