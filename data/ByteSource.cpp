#include "ByteSource.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <sys/stat.h>

namespace vxdata {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the dataset files are read as little-endian words");

bool ByteSource::readU32(std::uint32_t& v) { return read(&v, sizeof v); }
bool ByteSource::readI32(std::int32_t& v) { return read(&v, sizeof v); }
bool ByteSource::readF32(float& v) { return read(&v, sizeof v); }

bool MemorySource::read(void* destination, std::size_t n) {
  if (n > size_ - pos_) {
    pos_ = size_;
    return false;
  }
  if (n) std::memcpy(destination, data_ + pos_, n);
  pos_ += n;
  return true;
}

bool MemorySource::skip(std::uint64_t n) {
  if (n > size_ - pos_) {
    pos_ = size_;
    return false;
  }
  pos_ += std::size_t(n);
  return true;
}

bool MemorySource::readAt(std::uint64_t offset, void* destination, std::size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (n) std::memcpy(destination, data_ + offset, n);
  return true;
}

FileSource::~FileSource() {
  if (file_) std::fclose(file_);
}

bool FileSource::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) return false;
  struct stat info;
  if (fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode)) {
    size_ = static_cast<std::uint64_t>(info.st_size);
    return true;
  }
  // Not a regular file: read what it holds (nothing, for a directory), up to a limit that keeps an
  // endless device from taking all memory; whatever lies beyond reads as the end of the file.
  constexpr std::size_t kNonRegularLimit = std::size_t(256) << 20;
  useSlurped_ = true;
  unsigned char buffer[65536];
  std::size_t got;
  while (slurped_.size() < kNonRegularLimit && (got = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
    slurped_.insert(slurped_.end(), buffer, buffer + got);
  size_ = slurped_.size();
  return true;
}

bool FileSource::read(void* destination, std::size_t n) {
  if (n > size_ - pos_) {
    pos_ = size_;
    return false;
  }
  if (useSlurped_) {
    if (n) std::memcpy(destination, slurped_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  const std::size_t got = n ? std::fread(destination, 1, n, file_) : 0;
  pos_ += got;
  if (got != n) {
    pos_ = size_; // the file shrank or failed under us
    return false;
  }
  return true;
}

bool FileSource::skip(std::uint64_t n) {
  if (n > size_ - pos_) {
    pos_ = size_;
    return false;
  }
  if (!useSlurped_ && n && fseeko(file_, off_t(pos_ + n), SEEK_SET) != 0) {
    pos_ = size_;
    return false;
  }
  pos_ += n;
  return true;
}

bool FileSource::readAt(std::uint64_t offset, void* destination, std::size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (useSlurped_) {
    if (n) std::memcpy(destination, slurped_.data() + offset, n);
    return true;
  }
  // pread leaves the stream's own position (and its buffer) alone.
  unsigned char* to = static_cast<unsigned char*>(destination);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fileno(file_), to + got, n - got, off_t(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false; // the file shrank or failed under us
    got += std::size_t(r);
  }
  return true;
}

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

} // namespace vxdata
