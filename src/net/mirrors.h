// Mirrors: other web servers that hold a copy of the publisher's web root, named by
// a game's file list. They only ever serve the game's files; lists and signatures
// always come from the update server itself. A file's address on a mirror is the
// mirror's URL, the game's folder and the file's path, as on the server.
//
// A signed list carries them in its signature block (field "mirror"); an unsigned
// one in a line before its block, "[mirrors]URL|URL[/mirrors]", which readers that
// do not know it skip with the rest of what precedes "[data]".
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/address.h"

namespace zefo {

// At most this many mirrors per list; further ones are left aside.
constexpr size_t kMaxMirrors = 16;
// The longest mirror URL.
constexpr size_t kMaxMirrorUrl = 1024;

// True for "http://" or "https://" (any letter case), a host (a name of letters,
// digits, "." and "-", or an IPv6 address in brackets), an optional port from 1 to
// 65535 and an optional path of URL characters with well-formed "%XX" escapes: no
// user, query or fragment, no blanks, controls, "|", or brackets outside the host,
// so no list marker can stand in one. At most kMaxMirrorUrl bytes.
bool IsMirrorUrl(std::string_view url);

// The mirrors of `urls` that IsMirrorUrl takes, in order, without repeats, at most
// kMaxMirrors.
std::vector<std::string> UsableMirrors(const std::vector<std::string>& urls);

// The line an unsigned list carries before "[data]" (empty for no mirrors); the
// mirrors must be ones IsMirrorUrl takes.
std::string MirrorsLineText(const std::vector<std::string>& mirrors);

// The usable mirrors of the "[mirrors]" line in `head`, the text of a reply before
// its "[data]"; none when it holds no such line.
std::vector<std::string> MirrorsFromHead(std::string_view head);

// The mirrors of one run and the server, shared by the run's downloads: each file
// is asked of the mirrors still in use, a different one first for each file so that
// the files spread over them, then of the server. A mirror that fails a request is
// set aside for the rest of the run. A mirror that has not served a request yet takes
// one at a time: while it is being tried, the other downloads pass it by, so that a
// mirror that is gone costs the run one connect's wait, however many downloads run.
class MirrorSet {
  public:
    static constexpr int kServer = -1;

    explicit MirrorSet(const std::vector<std::string>& mirrors = {});

    // Where to ask for the file at `server` (the update server's location of it), in
    // order: the index of each mirror with its location there (no pin: a mirror's
    // chain is checked, the server's key is the server's), the server (kServer) last.
    std::vector<std::pair<int, Location>> Sources(const Location& server);
    // Whether a request may go to `index` now (a mirror set aside meanwhile may not,
    // nor one that has not served yet while another request tries it); counts the
    // request. A request Use lets through ends with Done or SetAside.
    bool Use(int index);
    void SetAside(int index);
    // The request Use let through to `index` ended without failing the mirror:
    // `served` when the mirror answered it (from then on it takes any number at
    // once), false when it was given up for another reason (a stop).
    void Done(int index, bool served);
    // Requests handed to the mirror `index` so far.
    int Tries(int index) const;
    // Whether a mirror is still in use (not set aside).
    bool AnyInUse() const;

  private:
    struct Mirror {
        Location root;        // the mirror's URL as a location, its path ending in "/"
        bool aside = false;   // failed a request (or its URL could not be read)
        bool served = false;  // answered a request
        bool trying = false;  // a first request to it is in flight, before it served one
        int tries = 0;
    };
    Mirror* Find(int index);

    mutable std::mutex lock_;
    std::vector<Mirror> mirrors_;  // guarded by lock_, as is next_
    size_t next_ = 0;
};

}  // namespace zefo
