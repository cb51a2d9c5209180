// A temporary folder for the fuzz targets that need real files, made at the first
// call and removed when the process ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

namespace zefo::fuzz {

class FuzzFolder {
  public:
    FuzzFolder() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("zefo-fuzz-" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~FuzzFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    FuzzFolder(const FuzzFolder&) = delete;
    FuzzFolder& operator=(const FuzzFolder&) = delete;

    std::string File(std::string_view name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline const FuzzFolder& TheFolder() {
    static const FuzzFolder folder;
    return folder;
}

inline void WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zefo::fuzz
