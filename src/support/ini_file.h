// Settings files: group lines "[name]", key lines "key = value" and comments.
// Each thread has its own open file; every operation acts on the calling thread's.
#pragma once

#include <string>

namespace zefo {

// Closes the thread's previous file, then opens and parses `path`. True when the
// file exists and could be opened; a false result still leaves a usable file.
bool IniOpen(const std::string& path);
// Makes `name` current; an empty name selects the top section. False when no
// file is open or the group does not exist (it then becomes pending).
bool IniSelectGroup(const std::string& name);
// Value of `key` in the current group without surrounding blanks and tabs, or `fallback`.
std::string IniReadString(const std::string& key, const std::string& fallback);
// Sets `key` in the current group, adding it (and a pending group) when needed.
void IniWriteString(const std::string& key, const std::string& value);
// Writes the file back when it was modified, then forgets it.
void IniClose();

}  // namespace zefo
