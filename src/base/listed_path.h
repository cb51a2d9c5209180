// The rules for paths that come from a file list: which ones may name a file inside
// the game folder. They are Windows' rules, applied on every platform, so that a list
// means the same to every client.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace zefo {

// Names a program keeps for itself in the folder, which no listed path may use (in any
// letter case). The program's own set is defined where its files are made.
struct ReservedNames {
    std::span<const std::string_view> topNames;  // whole names, at the top of the folder
    std::string_view temporarySuffix;            // at any depth, also with digits after it; empty: none
};

// True when a path from the server may name a file inside the game folder: relative,
// no drive or share, no "." or ".." component, no Windows device name, no character
// that Windows forbids in file names, no empty component and none ending in a dot or
// blank, none of the `reserved` names, none of the lists' own framing, at most 128
// levels deep and within the platform's path length. Other paths are never read,
// created or written.
bool IsSafeRelativePath(const std::string& path, const ReservedNames& reserved);

// True when `text` holds a marker that frames a list reply ("[data]", "[/data]",
// "[sig]", "[/sig]", in any letter case): written into a list, it would end the block
// or the signature early.
bool HoldsListFraming(std::string_view text);

// True when Windows takes `component` for a device whatever the folder and the
// extension ("nul.txt", "COM1", "CON .x", superscript digits included).
bool IsDeviceName(std::string_view component);

}  // namespace zefo
