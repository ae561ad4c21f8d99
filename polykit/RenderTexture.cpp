// GLX pbuffer render texture. This file sees GL/glxew.h (and through it Xlib and GL/glew.h); it must
// stay free of Qt headers, whose names clash with Xlib's macros.
#include <GL/glxew.h>

#include "RenderTexture.h"

#include "GLTexture.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// ---- X error handler of the pbuffer code -------------------------------------------------------

typedef int (*XErrorHandlerFn)(Display*, XErrorEvent*);

XErrorHandlerFn gPreviousHandler = nullptr;
int gHandlerUsers = 0;
bool gErrorReported = false;
int gErrorsCaught = 0;
int gLivePbuffers = 0;
int gLiveContexts = 0;

int pbufferErrorHandler(Display* display, XErrorEvent* event) {
  ++gErrorsCaught;
  if (!gErrorReported) {
    gErrorReported = true;
    char text[256] = {0};
    XGetErrorText(display, event->error_code, text, sizeof text - 1);
    std::fprintf(stderr,
                 "RenderTexture Warning: X error caught while pbuffers are in use: %s (request %d.%d); "
                 "further X errors are ignored.\n",
                 text, event->request_code, event->minor_code);
  }
  return 0;
}

void acquireErrorHandler() {
  if (gHandlerUsers++ == 0) {
    gPreviousHandler = XSetErrorHandler(pbufferErrorHandler);
  }
}

void releaseErrorHandler(Display* display) {
  if (gHandlerUsers <= 0) return;
  if (--gHandlerUsers == 0) {
    // Errors of requests already sent must still reach our handler, not the previous one.
    if (display) XSync(display, False);
    XSetErrorHandler(gPreviousHandler);
    gPreviousHandler = nullptr;
  }
}

// ---- mode string helpers -----------------------------------------------------------------------

// Leading decimal digits of text (with an optional sign) as an int, clamped to the int range; 0
// when there are none.
int toInt(const std::string& text) {
  errno = 0;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// The bit counts of a colour value: the single count 8 for an empty value, else every piece
// between commas, blanks and newlines read as a decimal number ("16f" reads 16).
std::vector<int> bitList(const std::string& value) {
  std::vector<int> bits;
  std::string piece;
  for (std::size_t i = 0; i <= value.size(); ++i) {
    const char c = i < value.size() ? value[i] : ',';
    if (c == ',' || c == ' ' || c == '\n') {
      if (!piece.empty()) bits.push_back(toInt(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (bits.empty()) bits.push_back(8);
  return bits;
}

bool beginsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool isPowerOfTwo(int v) { return v > 0 && (v & (v - 1)) == 0; }

} // namespace

RenderTextureExtensions RenderTextureExtensions::fromGlew() {
  RenderTextureExtensions e;
  e.textureRectangle = GLEW_NV_texture_rectangle != GL_FALSE;
  e.floatBuffer = GLXEW_NV_float_buffer != GL_FALSE;
  return e;
}

// ---- construction and parsing ------------------------------------------------------------------

RenderTexture::RenderTexture(const char* mode) : RenderTexture(mode, RenderTextureExtensions::fromGlew()) {}

RenderTexture::RenderTexture(const char* mode, const RenderTextureExtensions& extensions)
    : _sExtensions(extensions) {
  _ParseModeString(mode);
}

RenderTexture::RenderTexture(int width, int height, bool colorTexture, bool depthTexture)
    : _iWidth(width), _iHeight(height), _bColorTexture(colorTexture), _bDepthTexture(depthTexture),
      _bCopyToTexture(false), _sExtensions(RenderTextureExtensions::fromGlew()) {
  assert(width > 0 && height > 0);
  _ParseModeString(nullptr);
}

RenderTexture::~RenderTexture() { _Invalidate(); }

void RenderTexture::_ParseModeString(const char* mode) {
  _aiPixelFormatAttribs.clear();
  _aiPixelFormatAttribs.push_back(GLX_RENDER_TYPE_SGIX);
  _aiPixelFormatAttribs.push_back(GLX_RGBA_BIT_SGIX);
  _aiPixelFormatAttribs.push_back(GLX_DRAWABLE_TYPE_SGIX);
  _aiPixelFormatAttribs.push_back(GLX_PBUFFER_BIT_SGIX);
  if (mode == nullptr || *mode == '\0') {
    _aiPixelFormatAttribs.push_back(0);
    return;
  }
  _iComponents = 0;
  _bCopyToTexture = true;
  int depthBits = 0;
  bool stencilSeen = false;
  bool rectTarget = false, tex2DTarget = false, cubeTarget = false;
  std::vector<int>& attribs = _aiPixelFormatAttribs;

  const std::string text(mode);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t\n", pos);
    if (start == std::string::npos) break;
    std::size_t end = text.find_first_of(" \t\n", start);
    if (end == std::string::npos) end = text.size();
    pos = end;
    const std::string token = text.substr(start, end - start);
    const std::size_t eq = token.find('=');
    const std::string key = token.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : token.substr(eq + 1);
    const bool floatValue = value.find('f') != std::string::npos;

    if (key == "rgb") {
      if (_iComponents < 2) {
        std::vector<int> bits = bitList(value);
        if (bits.size() < 3) {
          bits.push_back(bits[0]);
          bits.push_back(bits[0]);
        }
        attribs.insert(attribs.end(), {GLX_RED_SIZE, bits[0], GLX_GREEN_SIZE, bits[1], GLX_BLUE_SIZE, bits[2]});
        for (int c = 0; c < 3; ++c) _aiChannelBits[c] = bits[c];
        if (floatValue) _bFloat = true;
        _iComponents += 3;
      } else {
        std::fprintf(stderr, "RenderTexture Warning: mistake in components definition (rgb + %d).\n", _iComponents);
      }
    } else if (key == "rgba") {
      if (_iComponents == 0) {
        std::vector<int> bits = bitList(value);
        if (bits.size() < 4) bits.insert(bits.end(), 3, bits[0]);
        attribs.insert(attribs.end(), {GLX_RED_SIZE, bits[0], GLX_GREEN_SIZE, bits[1], GLX_BLUE_SIZE, bits[2],
                                       GLX_ALPHA_SIZE, bits[3]});
        for (int c = 0; c < 4; ++c) _aiChannelBits[c] = bits[c];
        if (floatValue) _bFloat = true;
        _iComponents = 4;
      } else {
        std::fprintf(stderr, "RenderTexture Warning: mistake in components definition (rgba + %d).\n", _iComponents);
      }
    } else if (key == "r") {
      if (_iComponents < 2) {
        const std::vector<int> bits = bitList(value);
        attribs.insert(attribs.end(), {GLX_RED_SIZE, bits[0]});
        _aiChannelBits[0] = bits[0];
        if (floatValue) _bFloat = true;
        _iComponents += 1;
      } else {
        std::fprintf(stderr, "RenderTexture Warning: mistake in components definition (r + %d).\n", _iComponents);
      }
    } else if (key == "rg") {
      if (_iComponents < 2) {
        std::vector<int> bits = bitList(value);
        if (bits.size() < 2) bits.push_back(bits[0]);
        attribs.insert(attribs.end(), {GLX_RED_SIZE, bits[0], GLX_GREEN_SIZE, bits[1]});
        _aiChannelBits[0] = bits[0];
        _aiChannelBits[1] = bits[1];
        if (floatValue) _bFloat = true;
        _iComponents += 2;
      } else {
        std::fprintf(stderr, "RenderTexture Warning: mistake in components definition (rg + %d).\n", _iComponents);
      }
    } else if (key == "depth") {
      depthBits = value.empty() ? 24 : toInt(value);
    } else if (key == "stencil") {
      stencilSeen = true;
      attribs.insert(attribs.end(), {GLX_STENCIL_SIZE, value.empty() ? 8 : toInt(value)});
    } else if (key == "samples") {
      attribs.insert(attribs.end(), {GLX_SAMPLE_BUFFERS_ARB, 1, GLX_SAMPLES_ARB, toInt(value)});
    } else if (key == "doublebuffer" || key == "double") {
      attribs.insert(attribs.end(), {GLX_DOUBLEBUFFER, 1});
    } else if (key == "aux") {
      attribs.insert(attribs.end(), {GLX_AUX_BUFFERS, value.empty() ? 0 : toInt(value)});
    } else if (beginsWith(token, "tex")) {
      _bColorTexture = true;
      if (key == "texRECT" && _sExtensions.textureRectangle) {
        _bRectangle = true;
        rectTarget = true;
      } else if (key == "texCUBE") {
        cubeTarget = true;
      } else {
        tex2DTarget = true;
      }
    } else if (beginsWith(token, "depthTex")) {
      _bDepthTexture = true;
      if (key == "depthTexRECT" && _sExtensions.textureRectangle) {
        _bRectangle = true;
        rectTarget = true;
      } else if (key == "depthTexCUBE") {
        cubeTarget = true;
      } else {
        tex2DTarget = true;
      }
    } else if (key == "mipmap") {
      _bMipmap = true;
    } else if (key == "rtt") {
      _bCopyToTexture = false;
    } else if (key == "ctt") {
      _bCopyToTexture = true;
    } else {
      std::fprintf(stderr, "RenderTexture Error: Unknown pbuffer attribute: %s\n", token.c_str());
    }
  }

  if (_bColorTexture && _bDepthTexture && int(rectTarget) + int(tex2DTarget) + int(cubeTarget) == 2)
    std::fprintf(stderr, "RenderTexture Warning: Depth and Color texture targets should match.\n");
  if (_bDepthTexture && depthBits == 0) depthBits = 24;
  attribs.insert(attribs.end(), {GLX_DEPTH_SIZE, depthBits});
  if (!stencilSeen) attribs.insert(attribs.end(), {GLX_STENCIL_SIZE, 0});
  if (_bFloat && _sExtensions.floatBuffer) attribs.insert(attribs.end(), {GLX_FLOAT_COMPONENTS_NV, 1});
  attribs.push_back(0);
}

int RenderTexture::GetPixelFormatAttrib(int attribute, int fallback) const {
  for (std::size_t i = 0; i + 1 < _aiPixelFormatAttribs.size() && _aiPixelFormatAttribs[i] != 0; i += 2)
    if (_aiPixelFormatAttribs[i] == attribute) return _aiPixelFormatAttribs[i + 1];
  return fallback;
}

bool RenderTexture::HasPbufferExtension() { return GLXEW_SGIX_pbuffer != GL_FALSE; }
int RenderTexture::LivePbuffers() { return gLivePbuffers; }
int RenderTexture::LiveContexts() { return gLiveContexts; }
int RenderTexture::XErrorsCaught() { return gErrorsCaught; }
void RenderTexture::RearmXErrorReport() { gErrorReported = false; }

// ---- initialisation ----------------------------------------------------------------------------

bool RenderTexture::Initialize(int width, int height, bool shareObjects, bool copyContext) {
  assert(width > 0 && height > 0);
  _iWidth = width;
  _iHeight = height;
  _bShareObjects = shareObjects;
  _bCopyContext = copyContext;

  const char* missing = nullptr;
  if (!GLXEW_SGIX_pbuffer)
    missing = "GLX_SGIX_pbuffer";
  else if (!GLXEW_SGIX_fbconfig)
    missing = "GLX_SGIX_fbconfig";
  else if (_bDepthTexture && !GLEW_ARB_depth_texture)
    missing = "GL_ARB_depth_texture";
  else if (_bColorTexture && _bFloat && !GLXEW_NV_float_buffer)
    missing = "GLX_NV_float_buffer";
  else if (!_bCopyToTexture)
    missing = "Some GLX render texture extension: FIXME!";
  if (missing) {
    std::fprintf(stderr, "Error: RenderTexture requires the following unsupported OpenGL extensions: \n");
    std::fprintf(stderr, "%s", missing);
    return false;
  }

  if (_bInitialized || _hPbuffer) _Invalidate();

  _pDisplay = glXGetCurrentDisplay();
  GLXContext callerContext = glXGetCurrentContext();
  if (_pDisplay == nullptr || callerContext == nullptr) {
    std::fprintf(stderr, "RenderTexture Error: no current GLX context.\n");
    return false;
  }
  Display* display = _pDisplay;

  int count = 0;
  GLXFBConfigSGIX* configs =
      glXChooseFBConfigSGIX(display, DefaultScreen(display), _aiPixelFormatAttribs.data(), &count);
  if (configs == nullptr || count <= 0) {
    if (configs) XFree(configs);
    std::fprintf(stderr, "RenderTexture Error: Couldn't find a suitable pixel format.\n");
    return false;
  }

  // Pbuffer and context creation may raise X errors on some drivers; they must not end the process.
  acquireErrorHandler();
  int noAttributes[] = {0};
  GLXContext shareContext = shareObjects ? callerContext : nullptr;
  GLXContext context = nullptr;
  GLXPbufferSGIX pbuffer = 0;
  for (int i = 0; i < count; ++i) {
    pbuffer = glXCreateGLXPbufferSGIX(display, configs[i], static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), noAttributes);
    if (pbuffer == 0) continue;
    context = glXCreateContextWithConfigSGIX(display, configs[i], GLX_RGBA_TYPE_SGIX, shareContext, True);
    if (context == nullptr) {
      // Fall back on a context from the configuration's visual.
      XVisualInfo* visual = glXGetVisualFromFBConfigSGIX(display, configs[i]);
      if (visual) {
        context = glXCreateContext(display, visual, shareContext, True);
        XFree(visual);
      }
    }
    break;
  }
  XFree(configs);

  if (pbuffer == 0) {
    releaseErrorHandler(display);
    std::fprintf(stderr, "RenderTexture Error: glXCreateGLXPbufferSGIX() failed.\n");
    return false;
  }
  _hPbuffer = pbuffer;
  ++gLivePbuffers;
  _bHoldsErrorHandler = true;
  if (context == nullptr) {
    std::fprintf(stderr, "RenderTexture Error: glXCreateContext() failed.\n");
    return false;
  }
  _hContext = context;
  ++gLiveContexts;

  unsigned int realWidth = 0, realHeight = 0;
  glXQueryGLXPbufferSGIX(display, pbuffer, GLX_WIDTH_SGIX, &realWidth);
  glXQueryGLXPbufferSGIX(display, pbuffer, GLX_HEIGHT_SGIX, &realHeight);
  if (realWidth > 0 && realHeight > 0) {
    _iWidth = static_cast<int>(realWidth);
    _iHeight = static_cast<int>(realHeight);
  }
  _bInitialized = true;

  const unsigned long previousDrawable = glXGetCurrentDrawable();
  const unsigned long previousRead = GLXEW_VERSION_1_3 ? glXGetCurrentReadDrawable() : previousDrawable;
  if (!_MakeCurrent(_hPbuffer, _hPbuffer, _hContext)) return false;
  const bool created = _CreateTextures();
  if (!_MakeCurrent(previousDrawable, previousRead, callerContext)) return false;
  return created;
}

bool RenderTexture::_MakeCurrent(unsigned long draw, unsigned long read, void* context) {
  Display* display = _pDisplay;
  if (display == nullptr) return false;
  GLXContext ctx = static_cast<GLXContext>(context);
  if (ctx == nullptr) return glXMakeCurrent(display, None, nullptr) == True;
  if (read != draw && GLXEW_VERSION_1_3 && glXMakeContextCurrent)
    return glXMakeContextCurrent(display, draw, read, ctx) == True;
  return glXMakeCurrent(display, draw, ctx) == True;
}

bool RenderTexture::_CreateTextures() {
  const bool rectangle = _bRectangle && GLEW_NV_texture_rectangle;
  _eTextureTarget = rectangle ? GL_TEXTURE_RECTANGLE_NV : GL_TEXTURE_2D;

  if (_bColorTexture) {
    GLTexture* texture = rectangle ? static_cast<GLTexture*>(new GLTextureRectangle)
                                   : static_cast<GLTexture*>(new GLTexture2D);
    texture->create(GL_TEXTURE0);
    _pTexture = texture;
    _eTextureTarget = texture->target();
    _uTextureID = texture->id();
    std::printf("TEXTUREID: %u\n", _uTextureID);
    std::fflush(stdout);
    texture->bind();
    glTexParameteri(_eTextureTarget, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_MAG_FILTER, GL_NEAREST);

    GLenum internalFormat = 0;
    GLenum format = 0;
    if (_bFloat) {
      if (_bMipmap) {
        std::fprintf(stderr, "RenderTexture Error: mipmapped float textures not supported.\n");
        return false;
      }
      const bool bits16 = _aiChannelBits[0] <= 16;
      const bool nv = GLEW_NV_float_buffer;
      const bool ati = GLEW_ATI_texture_float;
      switch (_iComponents) {
      case 1:
        format = GL_LUMINANCE;
        internalFormat = nv    ? (bits16 ? GL_FLOAT_R16_NV : GL_FLOAT_R32_NV)
                         : ati ? (bits16 ? GL_LUMINANCE_FLOAT16_ATI : GL_LUMINANCE_FLOAT32_ATI)
                               : 0;
        break;
      case 2:
        format = GL_LUMINANCE_ALPHA;
        internalFormat = nv    ? (bits16 ? GL_FLOAT_RG16_NV : GL_FLOAT_RG32_NV)
                         : ati ? (bits16 ? GL_LUMINANCE_ALPHA_FLOAT16_ATI : GL_LUMINANCE_ALPHA_FLOAT32_ATI)
                               : 0;
        break;
      case 3:
        format = GL_RGB;
        internalFormat = nv    ? (bits16 ? GL_FLOAT_RGB16_NV : GL_FLOAT_RGB32_NV)
                         : ati ? (bits16 ? GL_RGB_FLOAT16_ATI : GL_RGB_FLOAT32_ATI)
                               : 0;
        break;
      case 4:
        format = GL_RGBA;
        internalFormat = nv    ? (bits16 ? GL_FLOAT_RGBA16_NV : GL_FLOAT_RGBA32_NV)
                         : ati ? (bits16 ? GL_RGBA_FLOAT16_ATI : GL_RGBA_FLOAT32_ATI)
                               : 0;
        break;
      default:
        std::printf("RenderTexture Error: Invalid number of components: %d\n", _iComponents);
        std::fflush(stdout);
        return false;
      }
    } else if (_iComponents == 4) {
      internalFormat = GL_RGBA8;
      format = GL_RGBA;
    } else {
      internalFormat = GL_RGB8;
      format = GL_RGB;
    }
    glTexImage2D(_eTextureTarget, 0, static_cast<GLint>(internalFormat), _iWidth, _iHeight, 0, format, GL_FLOAT,
                 nullptr);
    texture->unbind();
  }

  if (_bDepthTexture) {
    GLuint depth = 0;
    glGenTextures(1, &depth);
    _uDepthTextureID = depth;
    glBindTexture(_eTextureTarget, depth);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(_eTextureTarget, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexImage2D(_eTextureTarget, 0, GL_DEPTH_COMPONENT, _iWidth, _iHeight, 0, GL_DEPTH_COMPONENT, GL_FLOAT,
                 nullptr);
  }
  return true;
}

bool RenderTexture::Initialize(bool shareObjects, bool depth, bool stencil, bool mipmap, bool /*ignored*/,
                               unsigned redBits, unsigned greenBits, unsigned blueBits, unsigned alphaBits,
                               int updateMode) {
  if (_iWidth == 0 || _iHeight == 0) return false;
  std::string mode;
  if (depth) mode += "depth ";
  if (stencil) mode += "stencil ";
  if (mipmap) mode += "mipmap ";
  if (redBits || greenBits || blueBits || alphaBits) {
    if (redBits) mode += "r";
    if (greenBits) mode += "g";
    if (blueBits) mode += "b";
    if (alphaBits) mode += "a";
    mode += "=";
    char counts[128];
    std::snprintf(counts, sizeof counts, "%d%s,%d%s,%d%s,%d%s", static_cast<int>(redBits), redBits > 15 ? "f" : "",
                  static_cast<int>(greenBits), greenBits > 15 ? "f" : "", static_cast<int>(blueBits),
                  blueBits > 15 ? "f" : "", static_cast<int>(alphaBits), alphaBits > 15 ? "f" : "");
    mode += counts;
    mode += " ";
  }
  const bool rectangle = GLEW_NV_texture_rectangle &&
                         (!isPowerOfTwo(_iWidth) || !isPowerOfTwo(_iHeight) || redBits > 15 || greenBits > 16 ||
                          blueBits > 16 || alphaBits > 15);
  if (_bColorTexture) mode += rectangle ? "texRECT " : "tex2D ";
  if (_bDepthTexture) mode += rectangle ? "depthTexRECT " : "depthTex2D ";
  if (updateMode == 1) mode += "ctt";
  _ParseModeString(mode.c_str());
  return Initialize(_iWidth, _iHeight, shareObjects, false);
}

// ---- capture -----------------------------------------------------------------------------------

bool RenderTexture::BeginCapture() {
  if (!_bInitialized) {
    std::fprintf(stderr, "RenderTexture::BeginCapture(): Texture is not initialized!\n");
    return false;
  }
  _hPreviousContext = glXGetCurrentContext();
  _hPreviousDrawable = glXGetCurrentDrawable();
  _hPreviousReadDrawable = GLXEW_VERSION_1_3 ? glXGetCurrentReadDrawable() : _hPreviousDrawable;
  return _MakeCurrent(_hPbuffer, _hPbuffer, _hContext);
}

bool RenderTexture::BeginCapture(RenderTexture* current) {
  if (current == this) return true;
  if (current == nullptr) return BeginCapture();
  if (!_bInitialized) {
    std::fprintf(stderr, "RenderTexture::BeginCapture(RenderTexture*): Texture is not initialized!\n");
    return false;
  }
  if (!current->_bInitialized) {
    std::fprintf(stderr, "RenderTexture::BeginCapture(RenderTexture): 'current' texture is not initialized!\n");
    return false;
  }
  current->_MaybeCopyBuffer();
  _hPreviousContext = current->_hPreviousContext;
  _hPreviousDrawable = current->_hPreviousDrawable;
  _hPreviousReadDrawable = current->_hPreviousReadDrawable;
  if (!_MakeCurrent(_hPbuffer, _hPbuffer, _hContext)) return false;
  current->BindColorTexture();
  return true;
}

bool RenderTexture::EndCapture() {
  if (!_bInitialized) {
    std::fprintf(stderr, "RenderTexture::EndCapture() : Texture is not initialized!\n");
    return false;
  }
  _MaybeCopyBuffer();
  // Without a remembered context there is nothing to return to; releasing the current one would
  // leave the caller without any.
  if (_hPreviousContext == nullptr) return false;
  if (!_MakeCurrent(_hPreviousDrawable, _hPreviousReadDrawable, _hPreviousContext)) return false;
  BindColorTexture();
  return true;
}

void RenderTexture::_MaybeCopyBuffer() {
  if (_bColorTexture && _uTextureID) {
    glBindTexture(_eTextureTarget, _uTextureID);
    glCopyTexSubImage2D(_eTextureTarget, 0, 0, 0, 0, 0, _iWidth, _iHeight);
  }
  if (_bDepthTexture && _uDepthTextureID) {
    glBindTexture(_eTextureTarget, _uDepthTextureID);
    glCopyTexSubImage2D(_eTextureTarget, 0, 0, 0, 0, 0, _iWidth, _iHeight);
  }
}

bool RenderTexture::BindAsTexture(int /*buffer*/) {
  if (!_bColorTexture || _uTextureID == 0) return false;
  BindColorTexture();
  return true;
}

void RenderTexture::BindColorTexture() const {
  if (_bColorTexture && _uTextureID) glBindTexture(_eTextureTarget, _uTextureID);
}

void RenderTexture::BindDepthTexture() const {
  if (_bDepthTexture && _uDepthTextureID) glBindTexture(_eTextureTarget, _uDepthTextureID);
}

// ---- release -----------------------------------------------------------------------------------

void RenderTexture::_DeleteTextures() {
  if (_pTexture) {
    delete _pTexture; // deletes the colour texture name
    _pTexture = nullptr;
  }
  _uTextureID = 0;
  if (_uDepthTextureID) {
    GLuint depth = _uDepthTextureID;
    glDeleteTextures(1, &depth);
    _uDepthTextureID = 0;
  }
}

void RenderTexture::_ReleaseContext() {
  Display* display = _pDisplay;
  if (_hContext == nullptr || display == nullptr) return;
  if (glXGetCurrentContext() == static_cast<GLXContext>(_hContext)) {
    // Still capturing: go back to the caller's context rather than leaving none current.
    if (_hPreviousContext && _hPreviousContext != _hContext)
      _MakeCurrent(_hPreviousDrawable, _hPreviousReadDrawable, _hPreviousContext);
    else
      glXMakeCurrent(display, None, nullptr);
  }
  glXDestroyContext(display, static_cast<GLXContext>(_hContext));
  _hContext = nullptr;
  --gLiveContexts;
}

bool RenderTexture::_Invalidate() {
  _DeleteTextures();
  if (_hPbuffer == 0) return false;
  _ReleaseContext();
  glXDestroyGLXPbufferSGIX(_pDisplay, _hPbuffer);
  _hPbuffer = 0;
  --gLivePbuffers;
  _bInitialized = false;
  if (_bHoldsErrorHandler) {
    _bHoldsErrorHandler = false;
    releaseErrorHandler(_pDisplay);
  }
  return true;
}

bool RenderTexture::Resize(int width, int height) {
  if (!_bInitialized) {
    std::fprintf(stderr, "RenderTexture::Resize(): must Initialize() first.\n");
    return false;
  }
  if (width == _iWidth && height == _iHeight) return true;
  if (_hPbuffer == 0) {
    std::fprintf(stderr, "RenderTexture::Resize(): failed to resize.\n");
    return false;
  }
  _Invalidate();
  return Initialize(width, height, _bShareObjects, _bCopyContext);
}

bool RenderTexture::Reset(const char* modeFormat, ...) {
  if ((_bInitialized || _hPbuffer) && !_Invalidate()) {
    std::fprintf(stderr, "RenderTexture::Reset(): failed to invalidate.\n");
    return false;
  }
  _iWidth = _iHeight = 0;
  _bColorTexture = _bDepthTexture = false;
  _bHasARBDepthTexture = true;
  _bCopyToTexture = true;
  _bInitialized = false;
  _iComponents = 0;
  for (int& bits : _aiChannelBits) bits = 0;
  _bFloat = _bRectangle = _bMipmap = false;
  _bShareObjects = _bCopyContext = false;
  _pDisplay = nullptr;
  _hContext = nullptr;
  _hPbuffer = 0;
  _hPreviousDrawable = _hPreviousReadDrawable = 0;
  _hPreviousContext = nullptr;
  _eTextureTarget = 0;
  _uTextureID = 0;
  _pTexture = nullptr;
  _uDepthTextureID = 0;
  _aiPixelFormatAttribs.clear();

  char mode[256] = {0};
  if (modeFormat) {
    va_list args;
    va_start(args, modeFormat);
    std::vsnprintf(mode, sizeof mode, modeFormat, args);
    va_end(args);
  }
  _ParseModeString(mode);
  return true;
}

bool RenderTexture::Reset(int width, int height) {
  std::fprintf(stderr, "RenderTexture Warning: Deprecated Reset() interface used.\n");
  if (!_Invalidate()) {
    std::fprintf(stderr, "RenderTexture::Reset(): failed to invalidate.\n");
    return false;
  }
  _iWidth = width;
  _iHeight = height;
  return true;
}
