#include "common/temp_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace zefo::test {

namespace {

std::string WithSeparator(const fs::path& path) {
    std::string text = path.string();
    char separator = static_cast<char>(fs::path::preferred_separator);
    if (text.empty() || (text.back() != '/' && text.back() != '\\'))
        text += separator;
    return text;
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        std::ostringstream name;
        name << "zefo-test-" << stamp << "-" << counter++;
        fs::path candidate = fs::temp_directory_path() / name.str();
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = WithSeparator(candidate);
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(fs::path(path_), error);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::path(path), error);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& path) : previous_(fs::current_path().string()) {
    fs::current_path(fs::path(path));
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
    std::error_code error;
    fs::current_path(fs::path(previous_), error);
}

}  // namespace zefo::test
