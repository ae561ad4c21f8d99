// Sequential little-endian input for the dataset parsers, from a file or from memory. Every read is
// all or nothing, and the bytes left are known, so counts can be checked before anything is
// allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vxdata {

class ByteSource {
public:
  virtual ~ByteSource() = default;
  // Reads exactly n bytes into destination, or returns false having consumed the rest.
  virtual bool read(void* destination, std::size_t n) = 0;
  // Bytes that are still there.
  virtual std::uint64_t remaining() const = 0;
  // Bytes read or passed over so far.
  virtual std::uint64_t position() const = 0;
  // Passes over exactly n bytes, or returns false having consumed the rest.
  virtual bool skip(std::uint64_t n) = 0;
  // Reads exactly n bytes at offset (from the start) into destination without moving the position;
  // false when they are not all there.
  virtual bool readAt(std::uint64_t offset, void* destination, std::size_t n) = 0;

  bool readU32(std::uint32_t& v);
  bool readI32(std::int32_t& v);
  bool readF32(float& v);
};

class MemorySource : public ByteSource {
public:
  MemorySource(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool read(void* destination, std::size_t n) override;
  std::uint64_t remaining() const override { return size_ - pos_; }
  std::uint64_t position() const override { return pos_; }
  bool skip(std::uint64_t n) override;
  bool readAt(std::uint64_t offset, void* destination, std::size_t n) override;

private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A regular file is read where it lies; anything else that can be opened (a pipe, a device) is
// read to its end first, so that its size is known too.
class FileSource : public ByteSource {
public:
  FileSource() = default;
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  bool open(const std::string& path); // false when the file cannot be opened for reading
  bool read(void* destination, std::size_t n) override;
  std::uint64_t remaining() const override { return size_ - pos_; }
  std::uint64_t position() const override { return pos_; }
  bool skip(std::uint64_t n) override;
  bool readAt(std::uint64_t offset, void* destination, std::size_t n) override;

private:
  std::FILE* file_ = nullptr;
  std::vector<unsigned char> slurped_;
  bool useSlurped_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t pos_ = 0;
};

bool pathExists(const std::string& path);

} // namespace vxdata
