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
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace zefo
