#include "sync/http_download.h"

#include "base/path.h"
#include "sync/http_client.h"

namespace zefo {

bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const DownloadChecks& checks,
                  Observer* observer) {
    HttpClient client(false);
    return client.Download(url, folder, name, checks, observer);
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
