// The off-screen render target of the extraction passes. It hides whether rendering goes into a
// framebuffer object (mode 0, GL_EXT_framebuffer_object) or into GLX pbuffers (mode 1, RenderTexture):
// the user creates colour textures and read-back buffers through it, selects one as the current
// target, brackets drawing with beginCapture/endCapture, and when a buffer target is left (at the
// next setTarget or at endCapture) its pixels are copied into its buffer object, which can then be
// drawn as a vertex array (GLBufferObject::bindAsArray).
//
// Typical use, with a context current:
//   GLRenderToTexture rtt(256, 256, GLRenderToTexture::kFramebufferMode);
//   GLTextureRectangle* t = rtt.createTextureRect(0, GL_RGBA32F_ARB, 256, 256, 0, GL_RGBA, GL_FLOAT, 0);
//   GLBufferObject* b = rtt.createBuffer(GL_RGBA32F_ARB, 256, 256, GL_RGBA, GL_FLOAT, 0);
//   rtt.beginCapture();
//   rtt.setTarget(t, 0, 0);  ...draw pass 1...
//   rtt.setTarget(b);        ...draw pass 2 (read buffer GL_COLOR_ATTACHMENT0_EXT)...
//   rtt.endCapture();        // b now holds pass 2's pixels
//
// The framebuffer that was bound when a capture began (a QOpenGLWidget's own framebuffer object,
// or 0 on a plain surface) is bound again at its end; the creation operations likewise restore the
// binding they found. In mode 1 every pbuffer has its own GLX context sharing objects with the
// caller's: per-context state (the bound program, enabled arrays, the read buffer) must be set again
// after every setTarget during a capture.
//
// Test and benchmark switches (process-wide, read at construction and at createBuffer):
//   setModeOverride(1)                   every later object asks for mode 1 whatever its caller
//                                        requested (-1 restores the requested mode);
//   setPixelBufferObjectsIgnored(true)   later createBuffer calls read back through a host array
//                                        into GL_ARRAY_BUFFER buffers as if pixel-buffer objects
//                                        were absent.
// The mode really used is mode(); a buffer's read-back path is its GLBufferObject::target()
// (GL_PIXEL_PACK_BUFFER or GL_ARRAY_BUFFER).
#pragma once

#include "PolykitGL.h"

#include <memory>
#include <vector>

class GLBufferObject;
class GLFramebufferEXT;
class GLTexture;
class GLTexture1D;
class GLTexture2D;
class GLTexture3D;
class GLTextureRectangle;
class RenderTexture;

class GLRenderToTexture {
public:
  static constexpr int kFramebufferMode = 0;
  static constexpr int kPbufferMode = 1;
  static constexpr int kNoOffscreenMode = 2;

  // Keeps the requested mode when its extension is present (mode 1: GLX_SGIX_pbuffer, mode 0:
  // GL_EXT_framebuffer_object), else takes 0, else 1, else reports
  // "GLRenderToTexture cannot be constructed" and uses 2. width 0 leaves the viewport alone.
  GLRenderToTexture(int width, int height, int mode);
  // Ends a running capture, then releases every pbuffer, buffer, owned texture and the framebuffer.
  ~GLRenderToTexture();
  GLRenderToTexture(const GLRenderToTexture&) = delete;
  GLRenderToTexture& operator=(const GLRenderToTexture&) = delete;

  // Colour targets. Mode 0: a new texture with the given image, attached and checked; it belongs to
  // the caller. Mode 1: a pbuffer ("tex2D rgba" / "texRECT rgba", "=16f" or "=32f" for the float
  // RGBA formats) whose texture is returned; it lives as long as this object. Null on failure.
  // 1D and 3D targets exist in mode 0 only.
  GLTexture1D* createTexture1D(GLint level, GLint internalFormat, int width, GLint border, GLenum format,
                               GLenum type, const void* pixels);
  GLTexture2D* createTexture2D(GLint level, GLint internalFormat, int width, int height, GLint border,
                               GLenum format, GLenum type, const void* pixels);
  GLTextureRectangle* createTextureRect(GLint level, GLint internalFormat, int width, int height, GLint border,
                                        GLenum format, GLenum type, const void* pixels);
  GLTexture3D* createTexture3D(GLint level, GLint internalFormat, int width, int height, int depth,
                               GLint border, GLenum format, GLenum type, const void* pixels);
  // A buffer-backed target of width x height pixels read back as format/type (format GL_RED ...
  // GL_BGRA, type GL_BYTE ... GL_FLOAT); the buffer belongs to this object. Null for other types
  // and formats, in mode 2, and when no pbuffer of the format exists (mode 1).
  GLBufferObject* createBuffer(GLint internalFormat, int width, int height, GLenum format, GLenum type,
                               GLenum ignored);

  // Gives back a buffer target this object created: its buffer, its texture and its pbuffer. False,
  // changing nothing, for any other buffer and while a capture runs.
  bool releaseBuffer(GLBufferObject* buffer);
  // Buffer targets alive on this object.
  int bufferCount() const { return static_cast<int>(buffers_.size()); }

  // Selects a colour target: in mode 0 any texture (attached to the framebuffer, status checked),
  // in mode 1 only the texture of one of this object's pbuffers. Leaving a buffer target first
  // copies its pixels into its buffer.
  bool setTarget(GLTexture* texture, int level = 0, int zoffset = 0);
  // Selects a buffer target created by this object; false (and nothing read back) for any other.
  bool setTarget(GLBufferObject* buffer);

  // Saves the viewport and the framebuffer binding, binds the off-screen target and sets the
  // viewport to the target size. Mode 1 needs a target selected first.
  bool beginCapture();
  // Copies a current buffer target into its buffer, rebinds what was bound at beginCapture and
  // restores the viewport.
  void endCapture();

  // The pixel rows [first, first + count) of a buffer target, counted from the bottom, that leaving
  // it copies into its buffer, each at its own place there; the buffer's other rows keep what they
  // held. count < 0 (the default): every row. Holds for every later copy until it is set again.
  void setCopyRows(int first, int count);

  // Steps of the operations above, public for the tests and the engine's diagnostics.
  // Copies the current buffer target's pixels into its buffer (only while capturing).
  void flushBuffer();
  // Status of the bound framebuffer: true when complete, else false with its message; an
  // incomplete attachment ends the process with exit status 1.
  bool checkStatus();

  int mode() const { return mode_; }
  bool isCapturing() const { return capturing_; }
  int width() const { return width_; }
  int height() const { return height_; }

  static void setModeOverride(int mode);
  static int modeOverride();
  static void setPixelBufferObjectsIgnored(bool ignored);
  static bool pixelBufferObjectsIgnored();

private:
  struct BufferTarget;
  template <class Texture, class Upload>
  Texture* createFramebufferTexture(bool bindAlways, int width, int height, const void* pixels, Upload upload);
  RenderTexture* createPbuffer(const char* modeString, int width, int height);
  bool selectTexture(GLTexture* texture, int level, int zoffset);
  bool attachToFramebuffer(GLTexture* texture, int level, int zoffset);
  bool switchCapture();
  BufferTarget* findBuffer(const GLBufferObject* buffer) const;

  std::unique_ptr<GLFramebufferEXT> fbo_;
  int mode_ = kNoOffscreenMode;
  GLint viewport_[4] = {0, 0, 0, 0};
  int width_ = 0;
  int height_ = 0;
  std::vector<std::unique_ptr<RenderTexture>> pbuffers_; // each owns its texture
  std::vector<std::unique_ptr<BufferTarget>> buffers_;
  RenderTexture* currentPbuffer_ = nullptr;
  RenderTexture* activePbuffer_ = nullptr;
  BufferTarget* currentBuffer_ = nullptr;
  bool capturing_ = false;
  int targetIsBuffer_ = 0;
  int copyFirst_ = 0, copyCount_ = -1; // rows leaving a buffer target copies
  GLint savedFramebuffer_ = 0; // bound when the capture began
};
