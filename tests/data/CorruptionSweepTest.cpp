// Every prefix of small valid dataset files and thousands of copies with random bytes changed: each
// is parsed without a fault (this suite also runs under AddressSanitizer and
// UndefinedBehaviorSanitizer) and ends in the reader's documented messages.
#include "DatasetSamples.h"

#include "CaptureOutput.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace {

constexpr int W = 1, H = 16; // 16 texels keep the files small; up to 16 rows per chunk

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line + "\n");
  return out;
}

// Whether line is the message text (after its kind's tag) with every '#' standing for a decimal
// number, optionally negative.
bool matches(const std::string& line, const std::string& taggedPattern) {
  std::size_t i = 0, p = 0;
  while (p < taggedPattern.size()) {
    if (taggedPattern[p] == '#') {
      if (i < line.size() && line[i] == '-') ++i;
      const std::size_t digits = i;
      while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
      if (i == digits) return false;
      ++p;
    } else {
      if (i >= line.size() || line[i] != taggedPattern[p]) return false;
      ++i, ++p;
    }
  }
  return i == line.size();
}

bool matchesAny(const std::string& line, const std::vector<std::string>& patterns) {
  for (const std::string& p : patterns)
    if (matches(line, p)) return true;
  return false;
}

// Messages after which the reader gives up, and messages that report and go on.
const std::vector<std::string>& cacheFailure() {
  static const std::vector<std::string> patterns = [] {
    std::vector<std::string> p = {pk::warningText("wrong cache format # - need 6"),
                                  pk::warningText("wrong cache format - need 6"),
                                  pk::warningText("cache constructed for # texture width - need " + std::to_string(W)),
                                  pk::warningText("cache constructed for # texture height - need " + std::to_string(H))};
    for (int b = 0; b < kCacheBlockCount; ++b)
      p.push_back(pk::errorText(std::string("failure decompressing ") + cacheBlockName(static_cast<CacheBlock>(b))));
    return p;
  }();
  return patterns;
}
const std::vector<std::string>& cacheNote() {
  static const std::vector<std::string> patterns = {pk::errorText("invalid data range"),
                                                    pk::errorText("benutze nur 16 von # Vertices"),
                                                    pk::warningText("internal error - decompression failed: #")};
  return patterns;
}

// Parses a damaged cache and checks its console output and result against each other.
void checkCache(const std::vector<unsigned char>& bytes, const std::string& what) {
  CacheData out;
  bool ok = true;
  const std::string err = captureStderr([&] { ok = parseCacheBytes(bytes.data(), bytes.size(), W, H, out); });
  const std::vector<std::string> said = lines(err);
  for (std::size_t i = 0; i < said.size(); ++i) {
    const bool last = i + 1 == said.size();
    if (!ok && last)
      ASSERT_TRUE(matchesAny(said[i], cacheFailure())) << what << ": " << said[i];
    else
      ASSERT_TRUE(matchesAny(said[i], cacheNote())) << what << ": " << said[i];
  }
  if (!ok) {
    ASSERT_FALSE(said.empty()) << what << ": failure without a message";
  }
  // Every chunk before the last record was read completely; on success all of them.
  for (std::size_t k = 0; k < out.chunks.size(); ++k)
    if (ok || k + 1 < out.chunks.size()) {
      ASSERT_EQ(out.chunks[k].stage, ChunkStage::Complete) << what;
    }
  ASSERT_LE(out.chunks.size(), out.header.chunkCount) << what;
}

void checkGeometry(const std::vector<unsigned char>& bytes, const std::string& what) {
  static const std::string notOurs = pk::errorText("mesh.vx is not a tet mesh we can use");
  static const std::string broken = pk::errorText("mesh.vx mesh is broken ?");
  GeometryData out;
  bool ok = true;
  const std::string err = captureStderr([&] { ok = parseGeometryBytes(bytes.data(), bytes.size(), "mesh.vx", out); });
  if (ok) {
    ASSERT_EQ(err, "") << what;
    for (int k = 0; k < 2; ++k)
      for (std::int32_t i : out.triangles[k]) ASSERT_TRUE(i >= 0 && std::size_t(i) < out.vertices.size()) << what;
  } else {
    ASSERT_TRUE(err == notOurs || err == broken) << what << ": " << err;
  }
}

std::vector<unsigned char> damaged(std::vector<unsigned char> bytes, std::mt19937& rng) {
  const int changes = 1 + static_cast<int>(rng() % 4);
  for (int c = 0; c < changes; ++c) {
    const std::size_t at = rng() % bytes.size();
    if (rng() % 2)
      bytes[at] ^= static_cast<unsigned char>(1u << (rng() % 8)); // one bit
    else
      bytes[at] = static_cast<unsigned char>(rng());              // a whole byte
  }
  return bytes;
}

} // namespace

TEST(CorruptionSweep, EveryPrefixOfAGeometryFile) {
  const std::vector<unsigned char> good = samples::geometryBytes(samples::tetrahedron());
  ASSERT_EQ(good.size(), 116u);
  for (std::size_t n = 0; n < good.size(); ++n) {
    GeometryData out;
    bool ok = true;
    const std::vector<unsigned char> prefix(good.begin(), good.begin() + n);
    const std::string err = captureStderr([&] { ok = parseGeometryBytes(prefix.data(), n, "mesh.vx", out); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, pk::errorText(n < 4 ? "mesh.vx is not a tet mesh we can use" : "mesh.vx mesh is broken ?")) << n;
  }
  checkGeometry(good, "whole file");
}

TEST(CorruptionSweep, EveryPrefixOfACacheFile) {
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  for (const auto& options : {CacheWriteOptions(), raw}) {
    const std::vector<unsigned char> good = samples::cacheBytes(samples::cache(W, H, 2, 16), options);
    for (std::size_t n = 0; n < good.size(); ++n) {
      const std::vector<unsigned char> prefix(good.begin(), good.begin() + n);
      CacheData out;
      bool ok = true;
      const std::string err = captureStderr([&] { ok = parseCacheBytes(prefix.data(), n, W, H, out); });
      ASSERT_FALSE(ok) << n;
      ASSERT_EQ(err, pk::warningText("wrong cache format - need 6")) << n;
    }
    CacheData out;
    EXPECT_TRUE(parseCacheBytes(good.data(), good.size(), W, H, out));
  }
}

TEST(CorruptionSweep, RandomByteChangesInAGeometryFile) {
  GeometryData g = samples::tetrahedron();
  const std::vector<unsigned char> good = samples::geometryBytes(g);
  std::mt19937 rng(2024);
  for (int i = 0; i < 3000; ++i) checkGeometry(damaged(good, rng), "geometry flip " + std::to_string(i));
}

TEST(CorruptionSweep, RandomByteChangesInACacheFile) {
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  const std::vector<unsigned char> packed = samples::cacheBytes(samples::cache(W, H, 3, 16));
  const std::vector<unsigned char> plain = samples::cacheBytes(samples::cache(W, H, 2, 6), raw);
  std::mt19937 rng(6);
  for (int i = 0; i < 3000; ++i) checkCache(damaged(packed, rng), "packed flip " + std::to_string(i));
  for (int i = 0; i < 1000; ++i) checkCache(damaged(plain, rng), "raw flip " + std::to_string(i));
}
