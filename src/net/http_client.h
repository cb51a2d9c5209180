// HTTP/1.1 downloads over connections kept open between requests: consecutive
// requests to one server reuse one connection (plain or TLS). A reply without a
// length, "Connection: close", an error or a time-out ends the connection, and the next
// request opens a new one; a server that closed a reused connection before answering
// costs a retry on a fresh connection, not a failed request. A download that breaks off
// keeps what arrived, and the next attempt asks for the rest ("Range: bytes=N-").
// A file with a limit (a signed size) takes no byte past it: a reply that announces
// more fails before its body, one that brings more fails as it passes it. A file
// without one fails when its reply announces more than its sink has room for.
// Redirects (301, 302, 303, 307, 308) are followed, at most kMaxRedirects in a row and
// never from https to plain http; a range asked for stays asked for.
// A server is waited for at most 10 seconds for its next bytes and for its whole head,
// and a body that brings less than a kilobyte in 10 seconds has broken off too.
//
// Range requests may be sent ahead on a kept connection (SendAhead), so that their
// replies follow one another without a round trip between them. Only ranges are sent
// ahead: a whole file, anything asked for out of turn, and every reply that ends the
// connection's use (one that closes it, has no length of its own, is no 206, a
// redirect, an error, a time-out) close the connection, and the requests still ahead
// are asked again on a fresh one when their turn comes. A server that leaves a request
// sent ahead unanswered gets none sent ahead any more.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "net/address.h"
#include "net/download_sink.h"
#include "net/network_options.h"
#include "net/observer.h"
#include "net/stream.h"

namespace zefo {

constexpr int kMaxRedirects = 5;

class HttpClient {
  public:
    // Told of the bytes a file holds so far and of its whole size (-1 while unknown).
    using FileProgress = std::function<void(int64_t held, int64_t size)>;

    enum class RangeResult {
        Done,     // 206 with the Content-Range asked for: every byte of the range went to the sink
        Ignored,  // 200: the server sends whole files only; nothing went to the sink
        Failed,   // anything else; bytes may have gone to the sink
        Whole,    // 200, and the whole file went to the sink for it, committed
    };

    // With `keepAlive` false every request asks the server to close after its reply.
    // `network` names the proxy (ChooseProxy's override, asked once for each server).
    explicit HttpClient(bool keepAlive = true, NetworkOptions network = {});
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Downloads the file at `location` into `sink`, going on from what it holds, and
    // commits it. The observer, when given, hears of the body bytes and can stop the
    // download. On false the sink was kept (for a resume) or discarded.
    bool Download(const Location& location, DownloadSink& sink, Observer* observer, const FileProgress& progress = {});

    // Fetches bytes [first, first + length) of the file at `location` into `sink`
    // ("Range: bytes=first-last"); `length` must be positive. The observer, when given,
    // hears of the body bytes and can stop the request (it then fails). With `whole`, a
    // server that answers with the whole file (200) has it taken as a download into
    // `whole` (started over first, committed at the end): Whole when it was, else
    // Failed; `progress` hears of it.
    RangeResult FetchRange(const Location& location,
                           int64_t first,
                           int64_t length,
                           ByteSink& sink,
                           Observer* observer,
                           DownloadSink* whole = nullptr,
                           const FileProgress& progress = {});

    // Sends the request for bytes [first, first + length) of the file at `location` ahead,
    // on the open connection kept from the last reply, when it leads there (the requests
    // sent ahead go out together once the first of them is fetched): the FetchRange for
    // the same range, when it comes in turn, takes its reply without asking again. At
    // most kMaxAhead wait for their turn. False when nothing was sent.
    bool SendAhead(const Location& location, int64_t first, int64_t length);
    // Whether a connection is open, kept from the last reply.
    bool connected() const { return stream_ != nullptr; }
    // The requests sent ahead that no FetchRange has taken yet.
    size_t ahead() const { return ahead_.size(); }
    static constexpr size_t kMaxAhead = 16;

    // Connections this client opened so far.
    int connectionsOpened() const { return opened_; }

  private:
    // Redirected: the reply sent the request to redirect_.
    enum class Attempt { Done, Failed, RetryFresh, RetryWhole, Redirected };
    struct Exchange;
    Attempt Fetch(const Location& location, DownloadSink& sink, Observer* observer, const FileProgress& progress);
    Attempt FetchPart(const Location& location,
                      int64_t first,
                      int64_t length,
                      ByteSink& sink,
                      Observer* observer,
                      DownloadSink* whole,
                      const FileProgress& progress,
                      RangeResult& result);
    // Takes the body of the reply in `exchange` into `sink` after the `from` bytes it
    // holds (none: started over when `startOver`), of the file's `size` (-1: unknown).
    Attempt Receive(const Exchange& exchange,
                    DownloadSink& sink,
                    int64_t from,
                    int64_t size,
                    bool startOver,
                    Observer* observer,
                    const FileProgress& progress);
    Attempt Begin(const Location& location, const std::string& range, Observer* observer, Exchange& exchange);
    // The request for `range` ("" for all) of `location`; false when it is too long.
    bool RequestText(const Location& location, const std::string& range, std::string& request);
    void Close();
    // Whether the reply in `exchange` is a redirect; when it is, its body is read past
    // (or the connection closed) and redirect_ holds where it leads, or the attempt
    // fails (`failed`) for a redirect that cannot be followed.
    bool Redirect(const Location& location, const Exchange& exchange, Observer* observer, bool& failed);

    // The proxy of `address`, chosen once for each server the client talks to.
    const ProxyChoice& ProxyFor(const ServerAddress& address);

    const bool keepAlive_;
    const NetworkOptions network_;
    std::string proxyKey_;  // the server proxy_ was chosen for
    ProxyChoice proxy_;
    Location redirect_;
    StreamPtr stream_;
    std::string endpoint_;           // where the open stream leads, and with which pin
    std::deque<std::string> ahead_;  // requests sent on stream_ and not answered yet, in order
    std::string unsent_;             // the last of them, still to be written
    std::string carry_;              // bytes past the last reply: the start of the next one's
    bool aheadRefused_ = false;      // a request sent ahead went unanswered
    int opened_ = 0;
};

}  // namespace zefo
