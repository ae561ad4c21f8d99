#include "GLRenderToTexture.h"

#include "GLBufferObject.h"
#include "GLFramebufferEXT.h"
#include "GLTexture.h"
#include "PkDiag.h"
#include "RenderTexture.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int gModeOverride = -1;
bool gPixelBufferObjectsIgnored = false;

GLint boundFramebuffer() {
  GLint binding = 0;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &binding);
  return binding;
}

bool isFloat16(GLint internalFormat) {
  return internalFormat == GL_RGBA16F_ARB || internalFormat == GL_FLOAT_RGBA16_NV;
}

bool isFloat32(GLint internalFormat) {
  return internalFormat == GL_RGBA32F_ARB || internalFormat == GL_FLOAT_RGBA32_NV;
}

bool hasPixelBufferObjects() {
  return GLEW_EXT_pixel_buffer_object || GLEW_ARB_pixel_buffer_object;
}

int bytesPerComponent(GLenum type) {
  switch (type) {
  case GL_BYTE:
  case GL_UNSIGNED_BYTE:
    return 1;
  case GL_SHORT:
  case GL_UNSIGNED_SHORT:
    return 2;
  case GL_INT:
  case GL_UNSIGNED_INT:
  case GL_FLOAT:
    return 4;
  default:
    return 0;
  }
}

int componentCount(GLenum format) {
  switch (format) {
  case GL_RED:
  case GL_GREEN:
  case GL_BLUE:
  case GL_ALPHA:
  case GL_LUMINANCE:
    return 1;
  case GL_LUMINANCE_ALPHA:
    return 2;
  case GL_RGB:
  case GL_BGR:
    return 3;
  case GL_RGBA:
  case GL_BGRA:
    return 4;
  default:
    return 0;
  }
}

void singleLevel(GLenum target) {
  glTexParameteri(target, GL_TEXTURE_BASE_LEVEL, 0);
  glTexParameteri(target, GL_TEXTURE_MAX_LEVEL, 0);
}

} // namespace

struct GLRenderToTexture::BufferTarget {
  std::unique_ptr<GLBufferObject> buffer;
  std::unique_ptr<GLTexture> ownedTexture; // mode 0: the texture rendered into
  GLTexture* texture = nullptr;            // ownedTexture in mode 0; the pbuffer's texture in mode 1
  RenderTexture* pbuffer = nullptr;        // mode 1: the pbuffer in pbuffers_ that holds texture
  GLenum format = 0;
  GLenum type = 0;
  int readBytes = 0; // bytes one read-back of the whole target writes
};

void GLRenderToTexture::setModeOverride(int mode) { gModeOverride = mode; }
int GLRenderToTexture::modeOverride() { return gModeOverride; }
void GLRenderToTexture::setPixelBufferObjectsIgnored(bool ignored) { gPixelBufferObjectsIgnored = ignored; }
bool GLRenderToTexture::pixelBufferObjectsIgnored() { return gPixelBufferObjectsIgnored; }

GLRenderToTexture::GLRenderToTexture(int width, int height, int mode) : width_(width), height_(height) {
  const int requested = gModeOverride >= 0 ? gModeOverride : mode;
  const bool hasFramebuffer = GLEW_EXT_framebuffer_object;
  const bool hasPbuffer = RenderTexture::HasPbufferExtension();
  if (requested == kPbufferMode && hasPbuffer)
    mode_ = kPbufferMode;
  else if (requested == kFramebufferMode && hasFramebuffer)
    mode_ = kFramebufferMode;
  else if (hasFramebuffer)
    mode_ = kFramebufferMode;
  else if (hasPbuffer)
    mode_ = kPbufferMode;
  else {
    pk::error("GLRenderToTexture cannot be constructed");
    mode_ = kNoOffscreenMode;
  }
  if (mode_ == kFramebufferMode) fbo_.reset(new GLFramebufferEXT);
}

GLRenderToTexture::~GLRenderToTexture() {
  if (capturing_) endCapture();
  currentPbuffer_ = activePbuffer_ = nullptr;
  currentBuffer_ = nullptr;
  pbuffers_.clear(); // each takes its texture with it
  buffers_.clear();
  fbo_.reset();
}

GLRenderToTexture::BufferTarget* GLRenderToTexture::findBuffer(const GLBufferObject* buffer) const {
  if (!buffer) return nullptr;
  for (auto it = buffers_.rbegin(); it != buffers_.rend(); ++it)
    if ((*it)->buffer.get() == buffer) return it->get();
  return nullptr;
}

bool GLRenderToTexture::releaseBuffer(GLBufferObject* buffer) {
  if (!buffer || capturing_) return false;
  auto it = std::find_if(buffers_.rbegin(), buffers_.rend(),
                         [buffer](const std::unique_ptr<BufferTarget>& r) { return r->buffer.get() == buffer; });
  if (it == buffers_.rend()) return false;
  BufferTarget* record = it->get();
  if (currentBuffer_ == record) {
    currentBuffer_ = nullptr;
    targetIsBuffer_ = 0;
  }
  if (record->pbuffer) {
    // The pbuffer whose texture the record uses goes with it.
    auto p = std::find_if(pbuffers_.begin(), pbuffers_.end(),
                          [record](const std::unique_ptr<RenderTexture>& pb) { return pb.get() == record->pbuffer; });
    if (p != pbuffers_.end()) {
      if (currentPbuffer_ == p->get()) currentPbuffer_ = nullptr;
      pbuffers_.erase(p);
    }
  }
  buffers_.erase(std::next(it).base());
  return true;
}

// ---- creation, mode 0 --------------------------------------------------------------------------

// Creates a texture of class Texture with the framebuffer bound (always, or only when no capture
// holds it bound already), uploads through upload(target), selects it as the target and restores
// the framebuffer binding found at the start.
template <class Texture, class Upload>
Texture* GLRenderToTexture::createFramebufferTexture(bool bindAlways, int width, int height, const void* pixels,
                                                     Upload upload) {
  const GLint saved = boundFramebuffer();
  const bool bindHere = bindAlways || !capturing_;
  if (bindHere && !fbo_->bind()) return nullptr;
  auto texture = std::make_unique<Texture>();
  texture->create(GL_TEXTURE0);
  texture->setSize(width, height);
  upload(texture.get(), pixels);
  texture->unbind();
  const bool ok = setTarget(texture.get(), 0, 0);
  if (bindHere) glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved));
  if (!ok) return nullptr;
  return texture.release(); // the caller's from here on
}

GLTexture1D* GLRenderToTexture::createTexture1D(GLint level, GLint internalFormat, int width, GLint border,
                                                GLenum format, GLenum type, const void* pixels) {
  if (mode_ != kFramebufferMode) return nullptr;
  return createFramebufferTexture<GLTexture1D>(true, width, 1, pixels, [&](GLTexture* t, const void* p) {
    glTexImage1D(t->target(), level, internalFormat, width, border, format, type, p);
    if (p) singleLevel(t->target());
  });
}

GLTexture2D* GLRenderToTexture::createTexture2D(GLint level, GLint internalFormat, int width, int height,
                                                GLint border, GLenum format, GLenum type, const void* pixels) {
  if (mode_ == kFramebufferMode) {
    return createFramebufferTexture<GLTexture2D>(false, width, height, pixels, [&](GLTexture* t, const void* p) {
      glTexImage2D(t->target(), level, internalFormat, width, height, border, format, type, p);
      if (p) singleLevel(t->target());
    });
  }
  if (mode_ != kPbufferMode) return nullptr;
  std::string modeString = "tex2D rgba";
  if (isFloat16(internalFormat)) modeString += "=16f";
  if (isFloat32(internalFormat)) modeString += "=32f";
  RenderTexture* pbuffer = createPbuffer(modeString.c_str(), width, height);
  if (!pbuffer) return nullptr;
  GLTexture2D* texture = dynamic_cast<GLTexture2D*>(pbuffer->GetTexture());
  setTarget(pbuffer->GetTexture(), 0, 0);
  pbuffer->BindAsTexture(GL_FRONT_LEFT);
  return texture;
}

GLTextureRectangle* GLRenderToTexture::createTextureRect(GLint level, GLint internalFormat, int width, int height,
                                                         GLint border, GLenum format, GLenum type,
                                                         const void* pixels) {
  if (mode_ == kFramebufferMode) {
    return createFramebufferTexture<GLTextureRectangle>(true, width, height, pixels,
                                                        [&](GLTexture* t, const void* p) {
                                                          glTexImage2D(t->target(), level, internalFormat, width,
                                                                       height, border, format, type, p);
                                                        });
  }
  if (mode_ != kPbufferMode) return nullptr;
  const char* modeString = isFloat16(internalFormat)   ? "texRECT rgba=16f"
                           : isFloat32(internalFormat) ? "texRECT rgba=32f"
                                                       : "texRECT rgba";
  RenderTexture* pbuffer = createPbuffer(modeString, width, height);
  if (!pbuffer) return nullptr;
  GLTextureRectangle* texture = dynamic_cast<GLTextureRectangle*>(pbuffer->GetTexture());
  if (!texture) {
    // Without GL_NV_texture_rectangle the pbuffer got a 2D texture, which is not what was asked for.
    pbuffers_.pop_back();
    return nullptr;
  }
  texture->setSize(width, height);
  setTarget(pbuffer->GetTexture(), 0, 0);
  pbuffer->BindAsTexture(GL_FRONT_LEFT);
  return texture;
}

GLTexture3D* GLRenderToTexture::createTexture3D(GLint level, GLint internalFormat, int width, int height,
                                                int depth, GLint border, GLenum format, GLenum type,
                                                const void* pixels) {
  if (mode_ != kFramebufferMode) return nullptr;
  // The framebuffer is bound around the creation as for the other targets; no capture is begun.
  return createFramebufferTexture<GLTexture3D>(true, width, height, pixels, [&](GLTexture3D* t, const void* p) {
    t->setDepth(depth);
    glTexImage3D(t->target(), level, internalFormat, width, height, depth, border, format, type, p);
    if (p) singleLevel(t->target());
  });
}

// ---- creation, mode 1 --------------------------------------------------------------------------

RenderTexture* GLRenderToTexture::createPbuffer(const char* modeString, int width, int height) {
  auto pbuffer = std::make_unique<RenderTexture>(modeString);
  pbuffer->Initialize(width, height, true, false);
  // No pbuffer of this format (Initialize said why): keep nothing of it.
  if (pbuffer->GetTexture() == nullptr) return nullptr;
  pbuffers_.push_back(std::move(pbuffer));
  return pbuffers_.back().get();
}

// ---- buffer targets ----------------------------------------------------------------------------

GLBufferObject* GLRenderToTexture::createBuffer(GLint internalFormat, int width, int height, GLenum format,
                                                GLenum type, GLenum /*ignored*/) {
  if (mode_ == kNoOffscreenMode) return nullptr;
  const int bytes = bytesPerComponent(type);
  const int components = componentCount(format);
  if (bytes == 0 || components == 0 || width <= 0 || height <= 0) return nullptr;
  const std::int64_t size = std::int64_t(width) * height * components * bytes;
  if (size > INT32_MAX) return nullptr;
  const GLenum target =
      hasPixelBufferObjects() && !gPixelBufferObjectsIgnored ? GL_PIXEL_PACK_BUFFER : GL_ARRAY_BUFFER;
  const bool floatFormat = isFloat16(internalFormat) || isFloat32(internalFormat);

  RenderTexture* pbuffer = nullptr;
  if (mode_ == kPbufferMode) {
    const char* modeString = isFloat16(internalFormat)   ? "texRECT rgba=16f"
                             : isFloat32(internalFormat) ? "texRECT rgba=32f"
                                                         : "tex2D rgba";
    pbuffer = createPbuffer(modeString, width, height);
    if (!pbuffer) return nullptr;
  }

  auto owned = std::make_unique<BufferTarget>();
  BufferTarget* record = owned.get();
  record->buffer = std::make_unique<GLBufferObject>(target);
  record->format = format;
  record->type = type;
  record->readBytes = static_cast<int>(size);
  record->buffer->setData(static_cast<int>(size), nullptr, GL_DYNAMIC_DRAW);

  if (mode_ == kFramebufferMode) {
    const GLint saved = boundFramebuffer();
    if (!capturing_) fbo_->bind();
    std::unique_ptr<GLTexture> texture;
    if (floatFormat)
      texture = std::make_unique<GLTextureRectangle>();
    else
      texture = std::make_unique<GLTexture2D>();
    texture->create(GL_TEXTURE0);
    texture->setSize(width, height);
    glTexImage2D(texture->target(), 0, internalFormat, width, height, 0, format, type, nullptr);
    if (!floatFormat) singleLevel(texture->target());
    texture->unbind();
    record->texture = texture.get();
    record->ownedTexture = std::move(texture);
    buffers_.push_back(std::move(owned));
    setTarget(record->buffer.get());
    if (!capturing_) glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved));
    return record->buffer.get();
  }

  record->texture = pbuffer->GetTexture();
  record->pbuffer = pbuffer;
  record->texture->setSize(width, height);
  buffers_.push_back(std::move(owned));
  setTarget(record->buffer.get());
  pbuffer->BindAsTexture(GL_FRONT_LEFT);
  return record->buffer.get();
}

// ---- target selection --------------------------------------------------------------------------

bool GLRenderToTexture::setTarget(GLTexture* texture, int level, int zoffset) {
  flushBuffer();
  currentBuffer_ = nullptr;
  targetIsBuffer_ = 0;
  return selectTexture(texture, level, zoffset);
}

bool GLRenderToTexture::setTarget(GLBufferObject* buffer) {
  BufferTarget* record = findBuffer(buffer);
  if (!record) return false;
  flushBuffer();
  currentBuffer_ = record;
  targetIsBuffer_ = 1;
  return selectTexture(record->texture, 0, 0);
}

bool GLRenderToTexture::selectTexture(GLTexture* texture, int level, int zoffset) {
  if (mode_ == kFramebufferMode) return texture && attachToFramebuffer(texture, level, zoffset);
  if (mode_ != kPbufferMode) return false;
  currentPbuffer_ = nullptr;
  if (!texture) return false;
  for (const auto& pbuffer : pbuffers_)
    if (pbuffer->GetTexture() == texture) {
      currentPbuffer_ = pbuffer.get();
      return capturing_ ? switchCapture() : true;
    }
  return false;
}

// Attaches to this object's framebuffer. During a capture and inside the creation operations it is
// bound already; otherwise it is bound around the attachment, so that a framebuffer of someone
// else's (a widget's own) never receives the texture.
bool GLRenderToTexture::attachToFramebuffer(GLTexture* texture, int level, int zoffset) {
  const GLint bound = boundFramebuffer();
  const bool rebind = bound != static_cast<GLint>(fbo_->id());
  if (rebind) fbo_->bind();
  const bool ok = fbo_->attachTexture(GL_COLOR_ATTACHMENT0_EXT, texture, level, zoffset) && checkStatus();
  if (rebind) glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(bound));
  return ok;
}

bool GLRenderToTexture::switchCapture() {
  if (activePbuffer_ == currentPbuffer_) return true;
  const bool ok = activePbuffer_ ? currentPbuffer_->BeginCapture(activePbuffer_) : currentPbuffer_->BeginCapture();
  if (!ok) return false;
  activePbuffer_ = currentPbuffer_;
  activePbuffer_->BindAsTexture(GL_FRONT_LEFT);
  // Each pbuffer has its own context, hence its own viewport.
  if (width_ != 0) glViewport(0, 0, width_, height_);
  return true;
}

// ---- capture -----------------------------------------------------------------------------------

bool GLRenderToTexture::beginCapture() {
  if (mode_ == kNoOffscreenMode) return false;
  if (mode_ == kPbufferMode && !currentPbuffer_) return false;
  if (!capturing_) {
    if (width_ != 0) glGetIntegerv(GL_VIEWPORT, viewport_);
    if (mode_ == kFramebufferMode) savedFramebuffer_ = boundFramebuffer();
  }
  if (mode_ == kFramebufferMode) {
    fbo_->bind();
    glDrawBuffer(GL_COLOR_ATTACHMENT0_EXT);
    capturing_ = true;
  } else {
    const bool wasCapturing = capturing_;
    capturing_ = true;
    if (!switchCapture()) {
      capturing_ = wasCapturing;
      return false;
    }
  }
  if (width_ != 0) glViewport(0, 0, width_, height_);
  return true;
}

void GLRenderToTexture::endCapture() {
  flushBuffer();
  currentBuffer_ = nullptr;
  if (!capturing_ || mode_ == kNoOffscreenMode) return;
  if (mode_ == kFramebufferMode) {
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(savedFramebuffer_));
  } else if (activePbuffer_) {
    activePbuffer_->EndCapture();
    activePbuffer_ = nullptr;
  }
  capturing_ = false;
  if (width_ != 0) glViewport(viewport_[0], viewport_[1], viewport_[2], viewport_[3]);
}

void GLRenderToTexture::setCopyRows(int first, int count) {
  copyFirst_ = first;
  copyCount_ = count;
}

void GLRenderToTexture::flushBuffer() {
  // Outside a capture nothing was rendered into the target, and the framebuffer that can be read is
  // someone else's.
  if (!capturing_ || targetIsBuffer_ != 1 || !currentBuffer_) return;
  GLBufferObject* buffer = currentBuffer_->buffer.get();
  GLTexture* texture = currentBuffer_->texture;
  const GLenum target = buffer->target();
  if (target != GL_ARRAY_BUFFER && target != GL_PIXEL_PACK_BUFFER) return;
  if (!texture || currentBuffer_->readBytes > buffer->size()) return;

  const int height = texture->height();
  const int first = std::clamp(copyFirst_, 0, height);
  const int rows = copyCount_ < 0 ? height - first : std::min(copyCount_, height - first);
  if (rows <= 0 || height <= 0) return;
  const int rowBytes = currentBuffer_->readBytes / height;
  const std::intptr_t offset = std::intptr_t(first) * rowBytes;

  GLint alignment = 1;
  glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
  if (alignment != 1) glPixelStorei(GL_PACK_ALIGNMENT, 1);
  if (target == GL_PIXEL_PACK_BUFFER) {
    buffer->bind();
    glReadPixels(0, first, texture->width(), rows, currentBuffer_->format, currentBuffer_->type,
                 reinterpret_cast<void*>(offset));
    buffer->unbind();
  } else {
    // A pixel-pack buffer left bound would receive the pixels instead of the host array.
    GLint pack = 0;
    if (hasPixelBufferObjects()) glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &pack);
    if (pack) glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(rows) * static_cast<std::size_t>(rowBytes));
    buffer->bind();
    glReadPixels(0, first, texture->width(), rows, currentBuffer_->format, currentBuffer_->type, bytes.data());
    buffer->setSubData(int(offset), int(bytes.size()), bytes.data());
    buffer->unbind();
    if (pack) glBindBuffer(GL_PIXEL_PACK_BUFFER, static_cast<GLuint>(pack));
  }
  if (alignment != 1) glPixelStorei(GL_PACK_ALIGNMENT, alignment);
}

bool GLRenderToTexture::checkStatus() {
  switch (glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT)) {
  case GL_FRAMEBUFFER_COMPLETE_EXT:
    return true;
  case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT_EXT:
    pk::error("Incomplete attachment");
    // A failure must not look like success to whoever runs the program.
    std::exit(1);
  case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT_EXT:
    pk::error("Incomplete missing attachment");
    return false;
  case 0x8CD8: // GL_FRAMEBUFFER_INCOMPLETE_DUPLICATE_ATTACHMENT_EXT, dropped from later headers
    pk::error("Incomplete duplicate attachment");
    return false;
  case GL_FRAMEBUFFER_INCOMPLETE_DIMENSIONS_EXT:
    pk::error("Incomplete dimensions");
    return false;
  case GL_FRAMEBUFFER_INCOMPLETE_FORMATS_EXT:
    pk::error("Incomplete formats");
    return false;
  case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER_EXT:
    pk::error("Incomplete draw buffer");
    return false;
  case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER_EXT:
    pk::error("Incomplete read buffer");
    return false;
  case GL_FRAMEBUFFER_UNSUPPORTED_EXT:
    pk::error("Unsupported Format");
    return false;
  case 0x8CDE: // GL_FRAMEBUFFER_STATUS_ERROR_EXT
    pk::error("status error");
    return false;
  default:
    return false;
  }
}
