// Output files are written under temporary names beside their final names and renamed only when
// everything is written, so no partial dataset ever appears under a final name. Temporary files
// are removed when the work fails, when the object goes away uncommitted, and on SIGINT/SIGTERM.
// SIGXFSZ is ignored once output is pending, so a file size limit fails the write instead of
// ending the process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vxb {

class PendingFiles {
public:
  PendingFiles() = default;
  ~PendingFiles();
  PendingFiles(const PendingFiles&) = delete;
  PendingFiles& operator=(const PendingFiles&) = delete;

  // The temporary path to write instead of finalPath.
  std::string add(const std::string& finalPath);
  // Renames every temporary file to its final name, in the order they were added. Prints an
  // error and returns false when a rename fails (the files not yet renamed are removed).
  bool commit();
  // Removes the temporary files.
  void discard();

private:
  struct Entry {
    std::string temporary, final;
  };
  std::vector<Entry> entries_;
};

// Writes size bytes to path through a temporary file. Prints "cannot write file PATH" on failure.
bool writeFileAtomically(const std::string& path, const void* data, size_t size);

} // namespace vxb
