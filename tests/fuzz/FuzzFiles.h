// The builder's mesh readers take paths: the fuzz targets put their input into files of a scratch
// folder of their own (one per process, removed at exit).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace vxfuzz {

inline const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path folder = [] {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::filesystem::path dir = base / ("vxfuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir, ec);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchFolder(), ignored);
    });
    return dir;
  }();
  return folder;
}

// Writes size bytes to NAME in the scratch folder and returns its path (empty when it cannot).
inline std::string scratchFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = (scratchFolder() / name).string();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return std::string();
  const bool ok = (size == 0 || std::fwrite(data, 1, size, f) == size);
  if (std::fclose(f) != 0 || !ok) return std::string();
  return path;
}

} // namespace vxfuzz
