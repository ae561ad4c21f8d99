// Texture objects: a texture name on a unit and target, parameter tables re-applied on every bind,
// and a CPU-side 8-bit pixel buffer that can be read from and written to bitmap files or filled with
// a reflection map. Pixel uploads are the caller's: create (which leaves the texture bound on its
// unit), upload against target(), add parameters, unbind.
#pragma once

#include "GLObject.h"
#include "PkTypes.h"

#include <cstddef>
#include <map>
#include <memory>

class GLTexture : public GLObject {
public:
  typedef std::map<GLenum, GLint> ParamiTable;
  typedef std::map<GLenum, GLfloat> ParamfTable;
  typedef std::map<GLenum, const GLint*> ParamivTable;
  typedef std::map<GLenum, const GLfloat*> ParamfvTable;

  GLTexture();
  explicit GLTexture(GLenum target);
  ~GLTexture() override;
  GLTexture(GLTexture&& other) noexcept;
  GLTexture& operator=(GLTexture&& other) noexcept;

  // create() creates on GL_TEXTURE0 through the virtual create(int).
  bool create() override;
  // Deletes the name, frees the pixel buffer and empties the parameter tables; the sizes stay.
  // False (and nothing changes) when not created.
  bool destroy() override;
  // Binds on the texture's unit, enables the target and applies the four parameter tables.
  // False without any OpenGL call when not created.
  bool bind() override;
  bool unbind() override;
  void enable() override;
  void disable() override;

  // The same on an explicit unit (a GL_TEXTUREi enumerant); the texture's own unit is unchanged.
  virtual bool bind(int unit);
  virtual bool unbind(int unit);
  // Creates on a unit; each concrete class supplies its target. On the abstract texture it reports
  // an error and returns false.
  virtual bool create(int unit);

  // Bitmap files (24-bit uncompressed) and the reflection map, on the CPU pixel buffer only.
  virtual PkBool readBMP(const PkString& filename);
  virtual PkBool writeBMP(const PkString& filename);
  virtual PkBool makeReflectionMap(int width, int height, float ka, float kd, float kr, float shininess);

  int width() const { return width_; }
  int height() const { return height_; }
  // Sets the two sizes only: no reallocation, no OpenGL call.
  void setSize(int width, int height) {
    width_ = width;
    height_ = height;
  }
  int components() const { return components_; }
  // The CPU pixel buffer (rows of width() pixels of components() bytes, no padding) or null.
  unsigned char* data() { return data_.get(); }
  const unsigned char* data() const { return data_.get(); }
  // Byte size of the pixel buffer (0 when there is none).
  std::size_t dataSize() const { return dataSize_; }
  // Per-pixel accessors; no bounds checks (0 <= x < width(), 0 <= y < height(), buffer present).
  unsigned char red(int x, int y) const { return data_[(x + y * width_) * components_]; }
  unsigned char green(int x, int y) const { return data_[(x + y * width_) * components_ + 1]; }
  unsigned char blue(int x, int y) const { return data_[(x + y * width_) * components_ + 2]; }
  unsigned char alpha(int x, int y) const {
    return components_ < 4 ? 255 : data_[(x + y * width_) * components_ + 3];
  }

  // The common creation step: releases any previous name, buffer and parameters, generates a name,
  // binds it on unit with the clamp/nearest defaults and byte pixel alignment. Always true.
  bool create(int unit, GLenum target);

  GLuint id() const { return id_; }
  GLenum target() const { return target_; }
  GLenum unit() const { return unit_; }

  // The parameter tables, ordered by parameter name and applied on every bind. Entries are added
  // with insert semantics: a name already present keeps its first value. The arrays of the two
  // vector tables belong to the caller and must outlive the texture's binds.
  ParamiTable& parami() { return parami_; }
  ParamfTable& paramf() { return paramf_; }
  ParamivTable& paramiv() { return paramiv_; }
  ParamfvTable& paramfv() { return paramfv_; }
  // Insert one entry; false when the name was already present (the old value stays).
  bool setParameteri(GLenum name, GLint value) { return parami_.insert({name, value}).second; }
  bool setParameterf(GLenum name, GLfloat value) { return paramf_.insert({name, value}).second; }
  bool setParameteriv(GLenum name, const GLint* values) { return paramiv_.insert({name, values}).second; }
  bool setParameterfv(GLenum name, const GLfloat* values) { return paramfv_.insert({name, values}).second; }

protected:
  // Replaces the pixel buffer with a new one of the given byte size (null for 0).
  void allocateData(std::size_t bytes);
  void freeData();

  GLenum unit_ = 0;
  GLenum target_ = 0;
  GLuint id_ = 0;
  int width_ = 0;
  int height_ = 0;
  int components_ = 0;
  std::unique_ptr<unsigned char[]> data_;
  std::size_t dataSize_ = 0;
  ParamiTable parami_;
  ParamfTable paramf_;
  ParamivTable paramiv_;
  ParamfvTable paramfv_;

private:
  void release();
};

class GLTexture1D : public GLTexture {
public:
  GLTexture1D() : GLTexture(GL_TEXTURE_1D) {}
  using GLTexture::create;
  bool create(int unit) override { return create(unit, GL_TEXTURE_1D); }
};

class GLTexture2D : public GLTexture {
public:
  GLTexture2D() : GLTexture(GL_TEXTURE_2D) {}
  using GLTexture::create;
  bool create(int unit) override { return create(unit, GL_TEXTURE_2D); }
};

class GLTexture3D : public GLTexture {
public:
  GLTexture3D() : GLTexture(GL_TEXTURE_3D) {}
  using GLTexture::create;
  bool create(int unit) override { return create(unit, GL_TEXTURE_3D); }
  int depth() const { return depth_; }
  void setDepth(int depth) { depth_ = depth; }

protected:
  int depth_ = 0;
};

// Needs GLEW initialised before construction: the target depends on the cube-map extension flags.
// Without GL_ARB_texture_cube_map or GL_EXT_texture_cube_map construction reports
// "Cube map texture not supported" and keeps GL_TEXTURE_2D, and create reports it again and fails.
class GLTextureCubeMap : public GLTexture {
public:
  GLTextureCubeMap();
  using GLTexture::create;
  bool create(int unit) override;
};

class GLTextureRectangle : public GLTexture {
public:
  GLTextureRectangle() : GLTexture(GL_TEXTURE_RECTANGLE_ARB) {}
  using GLTexture::create;
  bool create(int unit) override { return create(unit, GL_TEXTURE_RECTANGLE_ARB); }
};
