// Test data shared by the suites: deterministic bytes and their MD5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zefo::test {

// Deterministic bytes: the high bits of a linear congruential sequence.
std::string Pattern(size_t size, uint32_t seed);
// 32 lowercase hexadecimal digits of the bytes' MD5.
std::string Md5Of(const std::string& bytes);
// The digest the system's md5sum command prints for a file, or empty
// (POSIX builds only: an independent check of the program's MD5).
std::string SystemMd5sum(const std::string& path);

}  // namespace zefo::test
