// Downloads into local files: the HTTP client (net/http_client.h) with a file's
// temporary file (incoming_file.h) as its sink. HttpDownload fetches one URL on a
// connection of its own; DownloadFile goes over a client that keeps its connections.
#pragma once

#include <string>

#include "base/safe_folder.h"
#include "net/address.h"
#include "net/http_client.h"
#include "net/mirrors.h"
#include "net/observer.h"
#include "sync/incoming_file.h"

namespace zefo {

// Downloads `location` into `name` in `folder` through `checks` (incoming_file.h; the
// pin is the location's). A temporary file left by an earlier attempt is taken up
// where it stopped. On false the previous file is unchanged.
bool DownloadFile(HttpClient& client,
                  const Location& location,
                  const SafeFolder& folder,
                  const std::string& name,
                  const DownloadChecks& checks,
                  Observer* observer,
                  const HttpClient::FileProgress& progress = {});

// DownloadFile from the mirrors of `mirrors` still in use, then from `server`: a
// mirror that fails the file is set aside for the rest of the run and the file is
// asked for elsewhere (going on from what arrived).
bool DownloadFromSources(HttpClient& client,
                         MirrorSet& mirrors,
                         const Location& server,
                         const SafeFolder& folder,
                         const std::string& name,
                         const DownloadChecks& checks,
                         Observer* observer,
                         const HttpClient::FileProgress& progress = {});
// The same into a temporary file open already.
bool DownloadFromSources(HttpClient& client,
                         MirrorSet& mirrors,
                         const Location& server,
                         IncomingFile& incoming,
                         Observer* observer,
                         const HttpClient::FileProgress& progress = {});

// Downloads `url` into `localPath`. The body goes to the temporary file beside the
// target (a leftover of an earlier attempt is taken up where it stopped), which
// replaces the target only when the body is complete (and, when
// `expectedMd5` is 32 hexadecimal digits, has that MD5 in any letter case). An
// "https://" URL is fetched over TLS (port 443 unless it names one); a connection
// that fails its checks fails like one that cannot be made.
// On false the previous file is unchanged and no temporary file remains. An observer,
// when given, hears of the body bytes as they arrive and can stop the download (it
// then fails).
bool HttpDownload(const std::string& url,
                  const std::string& localPath,
                  const std::string& expectedMd5 = {},
                  Observer* observer = nullptr);
// The same into `name` in `folder`; whatever stands at `name` (a link too) is replaced,
// never written through.
bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const std::string& expectedMd5 = {},
                  Observer* observer = nullptr);
// The same with every check of `checks`: the MD5 and the SHA-256 are taken in the
// one pass that writes the file, and a sha256 that is not 64 hexadecimal digits
// fails the download; `checks.pin` pins the key of an https server.
bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const DownloadChecks& checks,
                  Observer* observer = nullptr);

}  // namespace zefo
