#include "GLTexture.h"

#include "BmpFile.h"
#include "PkDiag.h"

#include <sys/stat.h>

#include <cassert>
#include <cmath>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

GLTexture::GLTexture() = default;

GLTexture::GLTexture(GLenum target) : target_(target) {}

GLTexture::~GLTexture() { release(); }

GLTexture::GLTexture(GLTexture&& other) noexcept
    : GLObject(std::move(other)),
      unit_(std::exchange(other.unit_, 0)),
      target_(other.target_),
      id_(std::exchange(other.id_, 0)),
      width_(other.width_),
      height_(other.height_),
      components_(other.components_),
      data_(std::move(other.data_)),
      dataSize_(std::exchange(other.dataSize_, 0)),
      parami_(std::move(other.parami_)),
      paramf_(std::move(other.paramf_)),
      paramiv_(std::move(other.paramiv_)),
      paramfv_(std::move(other.paramfv_)) {
  other.parami_.clear();
  other.paramf_.clear();
  other.paramiv_.clear();
  other.paramfv_.clear();
}

GLTexture& GLTexture::operator=(GLTexture&& other) noexcept {
  if (this == &other) return *this;
  release();
  GLObject::operator=(std::move(other));
  unit_ = std::exchange(other.unit_, 0);
  target_ = other.target_;
  id_ = std::exchange(other.id_, 0);
  width_ = other.width_;
  height_ = other.height_;
  components_ = other.components_;
  data_ = std::move(other.data_);
  dataSize_ = std::exchange(other.dataSize_, 0);
  parami_ = std::move(other.parami_);
  paramf_ = std::move(other.paramf_);
  paramiv_ = std::move(other.paramiv_);
  paramfv_ = std::move(other.paramfv_);
  other.parami_.clear();
  other.paramf_.clear();
  other.paramiv_.clear();
  other.paramfv_.clear();
  return *this;
}

// What the destructor owes: the name when created, and in every case the buffer and the tables.
void GLTexture::release() {
  if (created_) GLTexture::destroy();
  freeData();
  parami_.clear();
  paramf_.clear();
  paramiv_.clear();
  paramfv_.clear();
}

void GLTexture::allocateData(std::size_t bytes) {
  data_.reset(bytes ? new unsigned char[bytes] : nullptr);
  dataSize_ = bytes;
}

void GLTexture::freeData() {
  data_.reset();
  dataSize_ = 0;
}

bool GLTexture::create() { return create(static_cast<int>(GL_TEXTURE0)); }

bool GLTexture::create(int unit) {
  pk::ErrorLine() << "don't call GLTexture::create(" << unit << ") directly";
  return false;
}

bool GLTexture::create(int unit, GLenum target) {
  destroy();
  unit_ = static_cast<GLenum>(unit);
  target_ = target;
  glGenTextures(1, &id_);
  glActiveTextureARB(unit_);
  glBindTexture(target_, id_);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexParameterf(target_, GL_TEXTURE_WRAP_S, static_cast<GLfloat>(GL_CLAMP));
  glTexParameterf(target_, GL_TEXTURE_WRAP_T, static_cast<GLfloat>(GL_CLAMP));
  glTexParameterf(target_, GL_TEXTURE_WRAP_R, static_cast<GLfloat>(GL_CLAMP));
  glTexParameterf(target_, GL_TEXTURE_MAG_FILTER, static_cast<GLfloat>(GL_NEAREST));
  glTexParameterf(target_, GL_TEXTURE_MIN_FILTER, static_cast<GLfloat>(GL_NEAREST));
  created_ = true;
  return true;
}

bool GLTexture::destroy() {
  if (!created_) return false;
  glDeleteTextures(1, &id_);
  created_ = false;
  id_ = 0;
  unit_ = 0;
  target_ = 0;
  freeData();
  parami_.clear();
  paramf_.clear();
  paramiv_.clear();
  paramfv_.clear();
  return true;
}

bool GLTexture::bind() { return GLTexture::bind(static_cast<int>(unit_)); }

bool GLTexture::bind(int unit) {
  if (!created_) return false;
  glActiveTextureARB(static_cast<GLenum>(unit));
  glEnable(target_);
  glBindTexture(target_, id_);
  for (const auto& p : parami_) glTexParameteri(target_, p.first, p.second);
  for (const auto& p : paramf_) glTexParameterf(target_, p.first, p.second);
  for (const auto& p : paramiv_) glTexParameteriv(target_, p.first, p.second);
  for (const auto& p : paramfv_) glTexParameterfv(target_, p.first, p.second);
  return true;
}

bool GLTexture::unbind() { return GLTexture::unbind(static_cast<int>(unit_)); }

bool GLTexture::unbind(int unit) {
  if (!created_) return false;
  glActiveTextureARB(static_cast<GLenum>(unit));
  glBindTexture(target_, 0);
  glDisable(target_);
  return true;
}

void GLTexture::enable() { glEnable(target_); }

void GLTexture::disable() { glDisable(target_); }

PkBool GLTexture::readBMP(const PkString& filename) {
  if (filename.empty()) {
    pk::error("no filename given");
    return false;
  }
  struct stat info;
  if (stat(filename.c_str(), &info) != 0) {
    pk::error("bitmap " + filename + " not found");
    return false;
  }
  std::vector<unsigned char> bytes;
  std::ifstream in;
  if (S_ISREG(info.st_mode)) in.open(filename, std::ios::binary);
  if (in.is_open()) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  if (!in.is_open() || !in || in.gcount() != static_cast<std::streamsize>(bytes.size())) {
    pk::error("bitmap " + filename + " could not be read");
    return false;
  }

  pk::BmpImage image;
  std::string reason;
  if (!pk::parseBMP(bytes.data(), bytes.size(), image, reason)) {
    pk::error(reason);
    return false;
  }
  width_ = image.width;
  height_ = image.height;
  components_ = 3;
  allocateData(image.pixels.size());
  std::memcpy(data_.get(), image.pixels.data(), image.pixels.size());
  return true;
}

PkBool GLTexture::writeBMP(const PkString& filename) {
  if (filename.empty()) {
    pk::error("no filename given");
    return false;
  }
  if (!data_) {
    pk::error("no texture data to write");
    return false;
  }
  const long long needed = static_cast<long long>(width_) * height_ * components_;
  if (width_ <= 0 || height_ <= 0 || (components_ != 3 && components_ != 4) ||
      needed > static_cast<long long>(dataSize_)) {
    pk::ErrorLine() << "texture data does not hold " << width_ << "x" << height_ << " pixels";
    return false;
  }
  const std::vector<unsigned char> file = pk::encodeBMP(width_, height_, components_, data_.get());
  if (file.empty()) {
    pk::ErrorLine() << "texture of " << width_ << "x" << height_ << " pixels too large for a bitmap";
    return false;
  }
  const unsigned int biSizeImage = static_cast<unsigned int>(file.size() - pk::kBmpHeadersSize);
  assert(biSizeImage >= (unsigned int)(width_ * height_ * 3));
  (void)biSizeImage;

  struct stat info;
  if (stat(filename.c_str(), &info) == 0) pk::warning("overwriting texture file " + filename);
  std::ofstream out(filename, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (out) out.close();
  if (!out) {
    pk::error("unable to write texture file " + filename);
    return false;
  }
  return true;
}

PkBool GLTexture::makeReflectionMap(int width, int height, float ka, float kd, float kr, float shininess) {
  if (!created_) return false;
  assert(0.0f <= ka && ka <= 1.0f);
  assert(0.0f <= kd && kd <= 1.0f);
  assert(0.0f <= kr && kr <= 1.0f);
  const float k = ka + kd + kr;
  assert(0.0f <= k && k <= 1.0f);
  (void)k;
  assert(width > 0 && height > 0);
  assert(static_cast<long long>(width) * height <= pk::kBmpMaxPixels);

  components_ = 4;
  width_ = width;
  height_ = height;
  allocateData(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  const float exponent = shininess * 255.0f;
  for (int i = 0; i < height; ++i) {
    const float y = 2.0f * static_cast<float>(i + 1) / static_cast<float>(height + 1) - 1.0f;
    const float sy = std::sqrt(1.0f - y * y);
    for (int j = 0; j < width; ++j) {
      const float x = 2.0f * static_cast<float>(j + 1) / static_cast<float>(width + 1) - 1.0f;
      const float sx = std::sqrt(1.0f - x * x);
      float intensity = ka + kd * sx + kr * std::pow(std::fabs(x * y - sx * sy), exponent);
      if (intensity < 0.0f || intensity > 1.0f) {
        pk::WarningLine() << "intensity: " << intensity;
        intensity = intensity < 0.0f ? 0.0f : 1.0f;
      }
      assert(0.0f <= intensity && intensity <= 1.0f);
      const int c = static_cast<int>(intensity * 255.0f);
      assert(0 <= c && c <= 255);
      unsigned char* p = data_.get() + (static_cast<std::size_t>(j) + static_cast<std::size_t>(i) * width) * 4;
      p[0] = p[1] = p[2] = static_cast<unsigned char>(c);
      p[3] = 127;
    }
  }
  return true;
}

GLTextureCubeMap::GLTextureCubeMap() : GLTexture(GL_TEXTURE_2D) {
  if (GLEW_ARB_texture_cube_map || GLEW_EXT_texture_cube_map)
    target_ = GL_TEXTURE_CUBE_MAP;
  else
    pk::error("Cube map texture not supported");
}

bool GLTextureCubeMap::create(int unit) {
  if (!(GLEW_ARB_texture_cube_map || GLEW_EXT_texture_cube_map)) {
    pk::error("Cube map texture not supported");
    return false;
  }
  return create(unit, GL_TEXTURE_CUBE_MAP);
}
