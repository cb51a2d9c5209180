// HTTP/1.1 downloads over connections kept open between requests: consecutive
// downloads from one server reuse one connection (plain or TLS). A reply without a
// length, "Connection: close", an error or a time-out ends the connection, and the next
// download opens a new one; a server that closed a reused connection before answering
// costs a retry on a fresh connection, not a failed file. A download that breaks off
// keeps what arrived, and the next attempt asks for the rest ("Range: bytes=N-").
// A file with a signed size takes no byte past it: a reply that announces more fails
// before its body, one that brings more fails as it passes it. A file without one
// fails when its reply announces more than the free space of its disk, less 64 MiB
// (less a sixteenth of it where that is smaller).
// A server is waited for at most 10 seconds for its next bytes and for its whole head,
// and a body that brings less than a kilobyte in 10 seconds has broken off too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/safe_folder.h"
#include "net/observer.h"
#include "net/stream.h"
#include "sync/incoming_file.h"

namespace zefo {

class HttpClient {
  public:
    // Told of the bytes a file holds so far and of its whole size (-1 while unknown).
    using FileProgress = std::function<void(int64_t held, int64_t size)>;

    // With `keepAlive` false every request asks the server to close after its reply.
    explicit HttpClient(bool keepAlive = true);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Downloads `url` into `name` in `folder` through `checks` (incoming_file.h). The
    // observer, when given, hears of the body bytes and can stop the download (the
    // temporary file then goes). On false the previous file is unchanged.
    bool Download(const std::string& url, const SafeFolder& folder, const std::string& name,
                  const DownloadChecks& checks, Observer* observer, const FileProgress& progress = {});

    // Connections this client opened so far.
    int connectionsOpened() const { return opened_; }

  private:
    enum class Attempt { Done, Failed, RetryFresh, RetryWhole };
    Attempt Fetch(const ServerAddress& address,
                  const std::string& target,
                  const SafeFolder& folder,
                  IncomingFile& incoming,
                  const DownloadChecks& checks,
                  Observer* observer,
                  const FileProgress& progress);
    void Close();

    const bool keepAlive_;
    StreamPtr stream_;
    std::string endpoint_;  // where the open stream leads, and with which pin
    int opened_ = 0;
};

}  // namespace zefo
