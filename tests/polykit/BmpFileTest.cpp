// The bitmap byte layer and the texture's file operations, without an OpenGL context (reading and
// writing bitmaps touches only the CPU pixel buffer).
#include "BmpFile.h"
#include "CaptureOutput.h"
#include "GLTexture.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

namespace {

std::vector<unsigned char> pattern(int width, int height, int components) {
  std::vector<unsigned char> p(static_cast<size_t>(width) * height * components);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(i * 37 + 11);
  return p;
}

std::vector<unsigned char> dropAlpha(const std::vector<unsigned char>& rgba) {
  std::vector<unsigned char> rgb;
  for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
  return rgb;
}

uint32_t u32(const std::vector<unsigned char>& f, size_t at) {
  return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (uint32_t(f[at + 3]) << 24);
}
void put32(std::vector<unsigned char>& f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void put16(std::vector<unsigned char>& f, size_t at, uint16_t v) {
  f[at] = static_cast<unsigned char>(v);
  f[at + 1] = static_cast<unsigned char>(v >> 8);
}

// Gives a test access to the pixel buffer without OpenGL.
struct BufferTexture : GLTexture2D {
  void fill(int w, int h, int components, const std::vector<unsigned char>& bytes) {
    width_ = w;
    height_ = h;
    components_ = components;
    allocateData(bytes.size());
    std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  std::vector<unsigned char> buffer() const { return {data(), data() + dataSize()}; }
};

class TempDir : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vorex_bmpXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static void writeFile(const std::string& p, const std::vector<unsigned char>& bytes) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  static std::vector<unsigned char> readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string dir_;
};

} // namespace

TEST(BmpBytes, TwoByTwoLayoutIsByteExact) {
  const std::vector<unsigned char> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const auto f = pk::encodeBMP(2, 2, 3, rgb.data());
  ASSERT_EQ(f.size(), 70u);
  const std::vector<unsigned char> header = {
      'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,              // file header
      40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, // size, w, h, planes, bpp, compr.
      16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; // image size, resolution, palette
  EXPECT_EQ(std::vector<unsigned char>(f.begin(), f.begin() + 54), header);
  const std::vector<unsigned char> rows = {3, 2, 1, 6, 5, 4, 0, 0, 9, 8, 7, 12, 11, 10, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(f.begin() + 54, f.end()), rows);
}

TEST(BmpBytes, RoundTripsPadWidthsAndDropTheFourthComponent) {
  struct Case { int w, h; size_t fileSize; } cases[] = {{1, 1, 58}, {3, 5, 114}, {513, 2, 54 + 2 * 1540}, {4, 3, 90}};
  for (const auto& c : cases) {
    for (int components : {3, 4}) {
      SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + "x" + std::to_string(components));
      const auto pixels = pattern(c.w, c.h, components);
      const auto f = pk::encodeBMP(c.w, c.h, components, pixels.data());
      ASSERT_EQ(f.size(), c.fileSize);
      EXPECT_EQ(u32(f, 2), c.fileSize);
      EXPECT_EQ(u32(f, 34), c.fileSize - 54);
      pk::BmpImage image;
      std::string error;
      ASSERT_TRUE(pk::parseBMP(f.data(), f.size(), image, error)) << error;
      EXPECT_EQ(image.width, c.w);
      EXPECT_EQ(image.height, c.h);
      EXPECT_EQ(image.pixels, components == 3 ? pixels : dropAlpha(pixels));
    }
  }
  EXPECT_EQ(pk::bmpRowStride(1), 4u);
  EXPECT_EQ(pk::bmpRowStride(4), 12u);
  EXPECT_EQ(pk::bmpRowStride(5), 16u);
}

TEST(BmpBytes, ParseHonoursThePixelDataOffset) {
  const auto pixels = pattern(3, 2, 3);
  auto f = pk::encodeBMP(3, 2, 3, pixels.data());
  f.insert(f.begin() + 54, 10, 0xEE); // a larger information header or a gap
  put32(f, 10, 64);
  pk::BmpImage image;
  std::string error;
  ASSERT_TRUE(pk::parseBMP(f.data(), f.size(), image, error)) << error;
  EXPECT_EQ(image.pixels, pixels);
}

TEST(BmpBytes, RefusesWhatItCannotReadAndLeavesTheImageAlone) {
  const auto pixels = pattern(3, 5, 3);
  const auto good = pk::encodeBMP(3, 5, 3, pixels.data());
  struct Case {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> edit;
    const char* error;
  } cases[] = {
      {"empty", [](auto& f) { f.clear(); }, "Not a bitmap"},
      {"one byte", [](auto& f) { f.resize(1); }, "Not a bitmap"},
      {"type", [](auto& f) { f[1] = 'A'; }, "Not a bitmap"},
      {"short header", [](auto& f) { f.resize(53); }, "Bitmap header truncated"},
      {"planes", [](auto& f) { put16(f, 26, 2); }, "Number of bitplanes was not 1"},
      {"bit count", [](auto& f) { put16(f, 28, 32); }, "File not 24Bpp"},
      {"compression", [](auto& f) { put32(f, 30, 1); }, "File compressed"},
      {"top-down", [](auto& f) { put32(f, 22, uint32_t(-5)); }, "File rows not bottom-up"},
      {"zero width", [](auto& f) { put32(f, 18, 0); }, "Bitmap size not positive"},
      {"negative width", [](auto& f) { put32(f, 18, uint32_t(-3)); }, "Bitmap size not positive"},
      {"zero height", [](auto& f) { put32(f, 22, 0); }, "Bitmap size not positive"},
      {"wide", [](auto& f) { put32(f, 18, 40000); }, "Bitmap size too large"},
      {"many pixels", [](auto& f) { put32(f, 18, 20000); put32(f, 22, 20000); }, "Bitmap size too large"},
      {"last byte missing", [](auto& f) { f.pop_back(); }, "Bitmap pixel data beyond end of file"},
      {"one row more", [](auto& f) { put32(f, 22, 6); }, "Bitmap pixel data beyond end of file"},
      {"offset past end", [](auto& f) { put32(f, 10, 0xFFFFFFF0u); }, "Bitmap pixel data beyond end of file"},
      {"offset plus rows wrap", [](auto& f) { put32(f, 10, 100); }, "Bitmap pixel data beyond end of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto f = good;
    c.edit(f);
    pk::BmpImage image;
    image.width = 7;
    image.pixels = {42};
    std::string error;
    EXPECT_FALSE(pk::parseBMP(f.data(), f.size(), image, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(image.width, 7);
    EXPECT_EQ(image.pixels, std::vector<unsigned char>{42});
  }
}

TEST(BmpBytes, EveryTruncationAndRandomDamageIsHandled) {
  const auto pixels = pattern(5, 3, 3);
  const auto good = pk::encodeBMP(5, 3, 3, pixels.data());
  pk::BmpImage image;
  std::string error;
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<unsigned char> prefix(good.begin(), good.begin() + n); // exact-size heap block
    EXPECT_FALSE(pk::parseBMP(prefix.data(), prefix.size(), image, error)) << n;
  }
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    auto f = good;
    for (int k = 0; k < 3; ++k) f[random() % 40 + 2] = static_cast<unsigned char>(random());
    if (pk::parseBMP(f.data(), f.size(), image, error)) {
      ASSERT_EQ(image.pixels.size(), size_t(image.width) * image.height * 3);
      ASSERT_LE(u32(f, 10) + pk::bmpRowStride(image.width) * image.height, f.size());
    }
  }
}

TEST(BmpBytes, EncodeRefusesArgumentsThatDescribeNoBitmap) {
  const unsigned char px[4] = {};
  EXPECT_TRUE(pk::encodeBMP(0, 1, 3, px).empty());
  EXPECT_TRUE(pk::encodeBMP(1, -1, 3, px).empty());
  EXPECT_TRUE(pk::encodeBMP(1, 1, 2, px).empty());
  EXPECT_TRUE(pk::encodeBMP(1, 1, 3, nullptr).empty());
  EXPECT_TRUE(pk::encodeBMP(40000, 1, 3, px).empty());
}

TEST(TexturePixels, AccessorsAndAlphaOfThreeAndFourComponents) {
  BufferTexture rgb;
  rgb.fill(2, 1, 3, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(rgb.red(1, 0), 4);
  EXPECT_EQ(rgb.green(1, 0), 5);
  EXPECT_EQ(rgb.blue(1, 0), 6);
  EXPECT_EQ(rgb.alpha(1, 0), 255);
  BufferTexture rgba;
  rgba.fill(1, 2, 4, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(rgba.red(0, 1), 5);
  EXPECT_EQ(rgba.alpha(0, 1), 8);
}

using TextureFiles = TempDir;

TEST_F(TextureFiles, WriteThenReadRestoresTheBuffer) {
  const std::vector<unsigned char> rgb = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  BufferTexture t;
  t.fill(2, 2, 3, rgb);
  std::string err = captureStderr([&] { EXPECT_TRUE(t.writeBMP(path("a.bmp"))); });
  EXPECT_EQ(err, "");
  const auto bytes = readFile(path("a.bmp"));
  EXPECT_EQ(bytes, pk::encodeBMP(2, 2, 3, rgb.data()));
  EXPECT_EQ(bytes.size(), 70u);

  BufferTexture back;
  EXPECT_TRUE(back.readBMP(path("a.bmp")));
  EXPECT_EQ(back.width(), 2);
  EXPECT_EQ(back.height(), 2);
  EXPECT_EQ(back.components(), 3);
  EXPECT_EQ(back.buffer(), rgb);
  EXPECT_FALSE(back.isValid()); // reading never creates the texture

  // A four-component buffer loses its fourth component; writing over a file warns and goes on.
  const auto rgba = pattern(3, 5, 4);
  t.fill(3, 5, 4, rgba);
  err = captureStderr([&] { EXPECT_TRUE(t.writeBMP(path("a.bmp"))); });
  EXPECT_EQ(err, pk::warningText("overwriting texture file " + path("a.bmp")));
  EXPECT_EQ(readFile(path("a.bmp")).size(), 114u);
  EXPECT_TRUE(back.readBMP(path("a.bmp")));
  EXPECT_EQ(back.components(), 3);
  EXPECT_EQ(back.width(), 3);
  EXPECT_EQ(back.height(), 5);
  EXPECT_EQ(back.buffer(), dropAlpha(rgba));
}

TEST_F(TextureFiles, ReadRefusalsReportOnceAndKeepTheOldBuffer) {
  const std::vector<unsigned char> old = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto valid = pk::encodeBMP(3, 5, 3, pattern(3, 5, 3).data());
  auto planes = valid, bits = valid, topDown = valid, cut = valid;
  put16(planes, 26, 3);
  put16(bits, 28, 8);
  put32(topDown, 22, uint32_t(-5));
  cut.resize(cut.size() - 5);
  writeFile(path("planes.bmp"), planes);
  writeFile(path("bits.bmp"), bits);
  writeFile(path("topdown.bmp"), topDown);
  writeFile(path("cut.bmp"), cut);
  writeFile(path("text.bmp"), {'h', 'e', 'l', 'l', 'o'});
  writeFile(path("empty.bmp"), {});
  mkdir(path("dir.bmp").c_str(), 0700);
  const std::pair<std::string, std::string> cases[] = {
      {"", "no filename given"},
      {path("missing.bmp"), "bitmap " + path("missing.bmp") + " not found"},
      {path("dir.bmp"), "bitmap " + path("dir.bmp") + " could not be read"},
      {path("empty.bmp"), "Not a bitmap"},
      {path("text.bmp"), "Not a bitmap"},
      {path("planes.bmp"), "Number of bitplanes was not 1"},
      {path("bits.bmp"), "File not 24Bpp"},
      {path("topdown.bmp"), "File rows not bottom-up"},
      {path("cut.bmp"), "Bitmap pixel data beyond end of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    BufferTexture t;
    t.fill(1, 2, 4, old);
    const std::string err = captureStderr([&] { EXPECT_FALSE(t.readBMP(c.first)); });
    EXPECT_EQ(err, pk::errorText(c.second));
    EXPECT_EQ(t.buffer(), old);
    EXPECT_EQ(t.width(), 1);
    EXPECT_EQ(t.height(), 2);
    EXPECT_EQ(t.components(), 4);
  }
}

TEST_F(TextureFiles, WriteRefusals) {
  BufferTexture t;
  std::string err = captureStderr([&] { EXPECT_FALSE(t.writeBMP(path("none.bmp"))); });
  EXPECT_EQ(err, pk::errorText("no texture data to write"));
  t.fill(2, 1, 3, {1, 2, 3, 4, 5, 6});
  err = captureStderr([&] { EXPECT_FALSE(t.writeBMP("")); });
  EXPECT_EQ(err, pk::errorText("no filename given"));
  t.setSize(2, 2); // sizes no longer match the buffer
  err = captureStderr([&] { EXPECT_FALSE(t.writeBMP(path("big.bmp"))); });
  EXPECT_EQ(err, pk::errorText("texture data does not hold 2x2 pixels"));
  t.setSize(2, 1);
  err = captureStderr([&] { EXPECT_FALSE(t.writeBMP(path("no/such/dir.bmp"))); });
  EXPECT_EQ(err, pk::errorText("unable to write texture file " + path("no/such/dir.bmp")));
  struct stat info;
  EXPECT_NE(stat(path("none.bmp").c_str(), &info), 0);
  EXPECT_NE(stat(path("big.bmp").c_str(), &info), 0);
}
