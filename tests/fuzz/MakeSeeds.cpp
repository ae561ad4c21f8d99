// Writes the seed corpus of the fuzz targets: small valid files of each kind and a few damaged
// ones, one folder per target under the given folder.
#include "BmpFile.h"
#include "Compressor.h"
#include "DatasetSamples.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

std::filesystem::path root;

void seed(const std::string& target, const std::string& name, const std::vector<unsigned char>& bytes) {
  const std::filesystem::path dir = root / target;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void putU32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vxfuzz_seeds <corpus folder>\n");
    return 1;
  }
  root = argv[1];

  // Geometry files.
  const std::vector<unsigned char> tet = samples::geometryBytes(samples::tetrahedron());
  seed("geometry", "empty.vx", samples::geometryBytes(GeometryData()));
  seed("geometry", "tetrahedron.vx", tet);
  std::vector<unsigned char> b = tet;
  b.insert(b.end(), {9, 9, 9});
  seed("geometry", "trailing_bytes.vx", b);
  b = tet;
  putU32(b, b.size() - 4, 0);
  seed("geometry", "bad_end_word.vx", b);
  b = tet;
  putU32(b, 16 + 48 + 8, 4);
  seed("geometry", "index_out_of_range.vx", b);
  b = tet;
  putU32(b, 4, 0xFFFFFFFFu);
  seed("geometry", "huge_vertex_count.vx", b);

  // Caches of 4 × 4 (and one 2 × 3) textures.
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  seed("cache", "no_chunks.cache", samples::cacheBytes(samples::cache(4, 4, 0, 0)));
  seed("cache", "one_packed_chunk.cache", samples::cacheBytes(samples::cache(4, 4, 1, 4)));
  seed("cache", "two_raw_chunks.cache", samples::cacheBytes(samples::cache(4, 4, 2, 3), raw));
  seed("cache", "chunk_without_rows.cache", samples::cacheBytes(samples::cache(4, 4, 1, 0)));
  seed("cache", "two_by_three.cache", samples::cacheBytes(samples::cache(2, 3, 2, 3)));
  CacheLayout layout;
  b = samples::cacheBytes(samples::cache(4, 4, 2, 4), {}, &layout);
  std::vector<unsigned char> cut(b.begin(), b.begin() + layout.chunks[1].blocks[3].offset + 9);
  seed("cache", "ends_in_second_chunk.cache", cut);
  putU32(b, layout.chunks[1].blocks[5].offset, 1); // a one-byte stream
  seed("cache", "broken_tetmap.cache", b);
  b = samples::cacheBytes(samples::cache(4, 4, 1, 4), raw, &layout);
  putU32(b, layout.chunks[0].blocks[6].offset - 4, 5); // one row more than the texture has
  seed("cache", "rows_beyond_height.cache", b);

  // Codec inputs: mode byte, destination size (two bytes), data.
  std::vector<unsigned char> text;
  for (int i = 0; i < 600; ++i) text.push_back(static_cast<unsigned char>("isovalue "[i % 9]));
  b = {0, 0, 0};
  b.insert(b.end(), text.begin(), text.end());
  seed("codec", "compress_text", b);
  Compressor codec;
  std::vector<unsigned char> packed = text;
  packed.resize(codec.compress(packed.data(), packed.size()));
  b = {1, static_cast<unsigned char>(text.size() & 0xFF), static_cast<unsigned char>(text.size() >> 8)};
  b.insert(b.end(), packed.begin(), packed.end());
  seed("codec", "decompress_exact", b);
  b[1] = 100;
  b[2] = 0;
  seed("codec", "decompress_overrun", b);
  b.resize(b.size() - 2);
  seed("codec", "decompress_cut", b);
  // An array of 40,000 bytes whose data ends after 1,000 (the rest zeros): large enough that only
  // its front is decompressed; and the same stream cut short.
  std::vector<unsigned char> padded(40000, 0);
  for (std::size_t i = 0; i < 1000; ++i) padded[i] = static_cast<unsigned char>(i * 7 + i / 13);
  padded.resize(codec.compress(padded.data(), padded.size()));
  b = {1, 40000 & 0xFF, 40000 >> 8};
  b.insert(b.end(), padded.begin(), padded.end());
  seed("codec", "decompress_front", b);
  b.resize(b.size() - 5);
  seed("codec", "decompress_front_cut", b);
  seed("codec", "normals", {0, 0, 0, 0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0x80, 0xBF, 0, 0, 0, 0, 0, 0, 0, 0});

  // Bitmaps.
  const unsigned char rgb[4 * 4 * 3] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 40, 50, 60, 70, 80, 90};
  seed("bmp", "one_pixel.bmp", pk::encodeBMP(1, 1, 3, rgb));
  seed("bmp", "three_by_two.bmp", pk::encodeBMP(3, 2, 3, rgb));
  seed("bmp", "four_by_four.bmp", pk::encodeBMP(4, 4, 3, rgb));
  b = pk::encodeBMP(3, 2, 3, rgb);
  b.resize(30);
  seed("bmp", "header_cut.bmp", b);
  b = pk::encodeBMP(3, 2, 3, rgb);
  b[28] = 32; // bits per pixel
  seed("bmp", "thirty_two_bits.bmp", b);
  return 0;
}
