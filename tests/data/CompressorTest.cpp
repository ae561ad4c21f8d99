// The block codec: round trips, refusals that leave data alone, bounded decompression, messages and
// the unit-vector code.
#include "Compressor.h"

#include "CaptureOutput.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <random>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

struct UnavailableCodec {
  UnavailableCodec() { Compressor::simulateInitFailure(true); }
  ~UnavailableCodec() { Compressor::simulateInitFailure(false); }
};

} // namespace

TEST(Compressor, ZerosCompressToAFractionAndRoundTrip) {
  Compressor codec;
  ASSERT_TRUE(codec.isAvailable());
  const std::size_t n = 16 * 256 * 256;
  std::vector<unsigned char> block(n, 0);
  std::size_t stored = 0;
  EXPECT_EQ(captureStderr([&] { stored = codec.compress(block.data(), n); }), "");
  ASSERT_GT(stored, 0u);
  EXPECT_LT(stored, n / 50);

  std::vector<unsigned char> back(n, 0xAB);
  EXPECT_EQ(codec.decompress(block.data(), stored, back.data(), back.size()), n);
  EXPECT_EQ(back, std::vector<unsigned char>(n, 0));
}

TEST(Compressor, DataThatDoesNotShrinkReturnsZeroAndStaysUnchanged) {
  Compressor codec;
  for (std::size_t n : {1u, 3u, 17u, 100u, 4096u, 65549u}) {
    std::vector<unsigned char> data = randomBytes(n, static_cast<unsigned>(n));
    const std::vector<unsigned char> original = data;
    std::string err = captureStderr([&] { EXPECT_EQ(codec.compress(data.data(), n), 0u) << n; });
    EXPECT_EQ(err, "");
    EXPECT_EQ(data, original) << n;
  }
  // A structured buffer that does shrink round-trips through any capacity large enough.
  std::vector<unsigned char> text;
  for (int i = 0; i < 3000; ++i) text.push_back(static_cast<unsigned char>("isosurface "[i % 11]));
  std::vector<unsigned char> packed = text;
  const std::size_t stored = codec.compress(packed.data(), packed.size());
  ASSERT_GT(stored, 0u);
  std::vector<unsigned char> back(text.size() + 100);
  EXPECT_EQ(codec.decompress(packed.data(), stored, back.data(), back.size()), text.size());
  back.resize(text.size());
  EXPECT_EQ(back, text);
}

TEST(Compressor, CorruptOrShortInputIsRefusedWithTheLibraryCode) {
  Compressor codec;
  std::vector<unsigned char> data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i % 7);
  const std::vector<unsigned char> original = data;
  const std::size_t stored = codec.compress(data.data(), data.size());
  ASSERT_GT(stored, 3u);
  std::vector<unsigned char> out(data.size());

  // Cut short: the decompressor runs out of input (LZO_E_INPUT_OVERRUN).
  std::size_t got = 1;
  std::string err = captureStderr([&] { got = codec.decompress(data.data(), stored - 2, out.data(), out.size()); });
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(err, pk::warningText("internal error - decompression failed: -4"));

  // Streams shorter than the end marker, also an empty one.
  for (std::size_t n : {0u, 1u, 2u}) {
    err = captureStderr([&] { got = codec.decompress(data.data(), n, out.data(), out.size()); });
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(err, pk::warningText("internal error - decompression failed: -4")) << n;
  }

  // Random garbage after a valid start: some negative library code, never a crash.
  std::vector<unsigned char> garbage = randomBytes(300, 7);
  err = captureStderr([&] { got = codec.decompress(garbage.data(), garbage.size(), out.data(), out.size()); });
  EXPECT_EQ(got, 0u);
  const std::string prefix = pk::warningText("internal error - decompression failed: -");
  EXPECT_EQ(err.compare(0, prefix.size() - 1, prefix, 0, prefix.size() - 1), 0) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

  // A destination one byte too small: output overrun, nothing written past the limit.
  std::vector<unsigned char> small(original.size() + 16, 0xCD);
  err = captureStderr([&] { got = codec.decompress(data.data(), stored, small.data(), original.size() - 1); });
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(err, pk::warningText("internal error - decompression failed: -5"));
  for (std::size_t i = original.size() - 1; i < small.size(); ++i) ASSERT_EQ(small[i], 0xCD) << i;
}

TEST(Compressor, UnavailableLibraryIsReportedByEveryOperation) {
  UnavailableCodec off;
  std::string err;
  std::unique_ptr<Compressor> codec;
  err = captureStderr([&] { codec = std::make_unique<Compressor>(); });
  EXPECT_EQ(err, pk::errorText("lzo_init() failed !!!"));
  EXPECT_FALSE(codec->isAvailable());

  std::vector<unsigned char> data(1000, 0);
  std::vector<unsigned char> out(1000, 1);
  std::size_t got = 1;
  err = captureStderr([&] { got = codec->decompress(data.data(), data.size(), out.data(), out.size()); });
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(err, pk::errorText("decompressor not available"));
  EXPECT_EQ(out, std::vector<unsigned char>(1000, 1));

  err = captureStderr([&] { got = codec->compress(data.data(), data.size()); });
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(err, pk::errorText("compressor not available"));
  EXPECT_EQ(data, std::vector<unsigned char>(1000, 0));
}

TEST(Compressor, NoStreamExpandsBeyondTheReadersBound) {
  // The cache reader refuses a compressed block that claims more than 256 bytes per stored byte
  // (plus 1 KiB); the library's best case, long runs of zeros, stays below that.
  Compressor codec;
  const std::size_t n = 8u << 20;
  std::vector<unsigned char> zeros(n, 0);
  const std::size_t stored = codec.compress(zeros.data(), n);
  ASSERT_GT(stored, 0u);
  EXPECT_LE(n, 256 * stored + 1024);
}

TEST(Compressor, NormalCodes) {
  Compressor codec;
  EXPECT_EQ(codec.encodeNormal(PkVec3f(0, 0, 1)), 0u);
  EXPECT_EQ(codec.encodeNormal(PkVec3f(0, 0, -1)), 0x2000u);
  EXPECT_EQ(codec.encodeNormal(PkVec3f(-1, 0, 0)), 0x8059u);
  const PkVec3f d = codec.decodeNormal(0x8059);
  EXPECT_NEAR(d.x, -89.0 / (126.0 * std::sqrt(0.5)), 1e-6);
  EXPECT_NEAR(d.x, -0.99893, 1e-5);
  EXPECT_EQ(d.y, 0.0f);
  EXPECT_NEAR(d.z, 0.0463, 1e-3);

  // Unit vectors in every octant: x and y come back rounded down to the grid (steps of
  // 1 / 89.0955), with their signs, and z with its sign.
  const double step = 1.0 / (126.0 * std::sqrt(0.5));
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  for (int i = 0; i < 2000; ++i) {
    PkVec3f v(g(rng), g(rng), g(rng));
    v.makeUnit();
    if (v.lengthSquared() == 0) continue;
    const std::uint16_t code = codec.encodeNormal(v);
    const PkVec3f back = codec.decodeNormal(code);
    for (auto [was, got] : {std::pair{v.x, back.x}, std::pair{v.y, back.y}}) {
      EXPECT_LE(std::fabs(got), std::fabs(was) + 1e-6) << code;
      EXPECT_LT(std::fabs(was) - std::fabs(got), step + 1e-6) << code;
      if (got != 0) {
        EXPECT_EQ(std::signbit(got), std::signbit(was)) << code;
      }
    }
    EXPECT_EQ(std::signbit(back.z), std::signbit(v.z)) << code;
  }
  // Values that are no unit vector give some code, never undefined behaviour.
  codec.encodeNormal(PkVec3f(NAN, INFINITY, -INFINITY));
  codec.encodeNormal(PkVec3f(1e30f, -1e30f, 0));
  for (unsigned c = 0; c < 0x10000u; c += 7) codec.decodeNormal(static_cast<std::uint16_t>(c));
}

// The cache builder compresses chunks on several threads at once: each thread's compressions must
// give exactly what they give alone (a work memory shared between threads would mix them up).
TEST(Compressor, ThreadsCompressingAtOnceGiveTheirOwnResults) {
  constexpr int kThreads = 4;
  std::vector<std::vector<unsigned char>> inputs(kThreads);
  std::mt19937 random(7);
  for (int t = 0; t < kThreads; ++t) {
    inputs[size_t(t)].resize(1 << 18);
    for (size_t i = 0; i < inputs[size_t(t)].size(); ++i)
      inputs[size_t(t)][i] = static_cast<unsigned char>((i / size_t(3 + t)) % 251 ^ (random() % 4 == 0 ? random() : 0));
  }
  std::vector<std::vector<unsigned char>> alone(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    Compressor codec;
    std::vector<unsigned char> b = inputs[size_t(t)];
    b.resize(codec.compress(b.data(), b.size()));
    ASSERT_FALSE(b.empty());
    alone[size_t(t)] = b;
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      Compressor codec;
      for (int round = 0; round < 20; ++round) {
        std::vector<unsigned char> b = inputs[size_t(t)];
        b.resize(codec.compress(b.data(), b.size()));
        mismatches[size_t(t)] += b != alone[size_t(t)];
      }
    });
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[size_t(t)], 0) << "thread " << t;
}

// An array of float data padded with zeros, as the cache stores its vertex arrays: reading only its
// front gives the whole array back (the padding as zeros, whatever the destination held), and
// a stream that cannot give the front fails as a whole read does.
TEST(Compressor, TheFrontOfAPaddedArrayReadsAsTheWholeArray) {
  Compressor codec;
  const std::size_t n = 16 * 256 * 256;
  for (std::size_t used : {std::size_t(0), std::size_t(16 * 3000), std::size_t(16 * 40000)}) {
    std::vector<unsigned char> array = randomBytes(used, unsigned(used));
    array.resize(n, 0);
    std::vector<unsigned char> stream = array;
    const std::size_t stored = codec.compress(stream.data(), n);
    ASSERT_GT(stored, 0u);
    std::vector<unsigned char> out(n, 0xAB);
    int code = -1;
    EXPECT_EQ(codec.decompressFront(stream.data(), stored, out.data(), n, used, code), n) << used;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(out == array) << used;

    // Cut short before its front ends, or damaged there: what a whole read says.
    for (std::size_t keep : {stored / 2, std::size_t(3)}) {
      if (used == 0) break;
      int whole = 0;
      const std::size_t wholeLength = codec.decompressQuietly(stream.data(), keep, out.data(), n, whole);
      EXPECT_EQ(codec.decompressFront(stream.data(), keep, out.data(), n, used, code), wholeLength);
      EXPECT_EQ(code, whole);
      EXPECT_NE(code, 0);
    }
  }

  // A block that ends in its padding, before its array does, is not told from a whole one: what it
  // holds is read, and the rest as zeros (no byte of the destination stays).
  std::vector<unsigned char> shortBlock = randomBytes(100000, 3);
  shortBlock.resize(200000, 0);
  std::vector<unsigned char> shortStream = shortBlock;
  const std::size_t stored = codec.compress(shortStream.data(), shortStream.size());
  std::vector<unsigned char> out(n, 0xAB);
  int code = -1;
  EXPECT_EQ(codec.decompressFront(shortStream.data(), stored, out.data(), n, 100000, code), n);
  EXPECT_EQ(code, 0);
  shortBlock.resize(n, 0);
  EXPECT_TRUE(out == shortBlock);

  // Data past the front (not padding): the front is still exact.
  const std::vector<unsigned char> full = randomBytes(n / 2, 4);
  std::vector<unsigned char> array = full;
  array.resize(n, 0);
  std::vector<unsigned char> stream = array;
  const std::size_t fullStored = codec.compress(stream.data(), n);
  ASSERT_GT(fullStored, 0u);
  EXPECT_EQ(codec.decompressFront(stream.data(), fullStored, out.data(), n, 1000, code), n);
  EXPECT_TRUE(std::equal(full.begin(), full.begin() + 1000, out.begin()));
}
