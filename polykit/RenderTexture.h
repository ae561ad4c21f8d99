// Off-screen rendering surface made of a GLX pbuffer (GLX_SGIX_pbuffer, GLX_SGIX_fbconfig) with its
// own GLX context, plus a colour texture and optionally a depth texture in the calling context into
// which the pbuffer is copied at the end of every capture. The pixel format comes from a mode string
// such as "tex2D rgba" or "texRECT rgba=32f".
//
// This header carries no OpenGL, GLX or Qt header: the GLX handles are kept as opaque values, so
// the class can be named from any translation unit. Its implementation is the only place that sees
// GL/glxew.h.
//
// While at least one pbuffer exists, the pbuffer code keeps an X error handler of its own installed:
// some drivers raise X errors when switching back from a pbuffer (Mesa's software path answers every
// switch back from an RGBA8 pbuffer with BadMatch), which the default handler would turn into the end
// of the process. The first error caught is reported as a "RenderTexture Warning:", once per
// process; all are counted (XErrorsCaught) and ignored. The
// previous handler comes back when the last pbuffer is destroyed.
#pragma once

#include <vector>

class GLTexture;
struct _XDisplay;

// The extension flags the mode-string parser depends on. Passing them explicitly lets the parser run
// without a display or a context.
struct RenderTextureExtensions {
  bool textureRectangle = false; // GL_NV_texture_rectangle
  bool floatBuffer = false;      // GLX_NV_float_buffer
  // The flags GLEW reports for the current context (all false before GLEW was initialised).
  static RenderTextureExtensions fromGlew();
};

class RenderTexture {
public:
  // Parses the mode string with the extension flags GLEW reports.
  explicit RenderTexture(const char* mode);
  // Parses the mode string with the given flags; needs no display, no context and no GLEW.
  RenderTexture(const char* mode, const RenderTextureExtensions& extensions);
  // Older interface: size and texture wishes only, no mode string; use the older Initialize.
  RenderTexture(int width, int height, bool colorTexture, bool depthTexture);
  ~RenderTexture();
  RenderTexture(const RenderTexture&) = delete;
  RenderTexture& operator=(const RenderTexture&) = delete;

  // Creates pbuffer, context and textures; needs a current GLX context (the caller's).
  bool Initialize(int width, int height, bool shareObjects = true, bool copyContext = false);
  // Older interface: composes a mode string from the flags and bit counts and initialises at the
  // stored size.
  bool Initialize(bool shareObjects, bool depth, bool stencil, bool mipmap, bool ignored,
                  unsigned redBits, unsigned greenBits, unsigned blueBits, unsigned alphaBits,
                  int updateMode);
  // Back to the constructed state with a new mode string (printf format, at most 255 characters).
  bool Reset(const char* modeFormat, ...) __attribute__((format(printf, 2, 3)));
  // Older interface: releases the pbuffer and stores a new size.
  bool Reset(int width, int height);
  bool Resize(int width, int height);

  // Makes the pbuffer current, remembering the caller's drawable and context.
  bool BeginCapture();
  // Switches from another capturing pbuffer to this one; the final EndCapture returns to the context
  // that was current before the first capture of the chain.
  bool BeginCapture(RenderTexture* current);
  // Copies the pbuffer into the textures and makes the remembered context current again.
  bool EndCapture();

  // Binds the colour texture in the current context (the argument is ignored).
  bool BindAsTexture(int buffer);
  void BindColorTexture() const;
  void BindDepthTexture() const;

  // The colour texture object (GLTexture2D or GLTextureRectangle); null before Initialize and when
  // no colour texture was asked for. It belongs to this object.
  GLTexture* GetTexture() const { return _pTexture; }
  unsigned GetTextureTarget() const { return _eTextureTarget; }
  unsigned GetTextureID() const { return _uTextureID; }
  unsigned GetDepthTextureID() const { return _uDepthTextureID; }

  int GetWidth() const { return _iWidth; }
  int GetHeight() const { return _iHeight; }
  bool IsInitialized() const { return _bInitialized; }
  bool IsTexture() const { return _bColorTexture; }
  bool IsDepthTexture() const { return _bDepthTexture; }
  bool IsFloatTexture() const { return _bFloat; }
  bool IsRectangleTexture() const { return _bRectangle; }
  bool IsMipmapped() const { return _bMipmap; }
  bool IsCopyToTexture() const { return _bCopyToTexture; }
  int GetComponents() const { return _iComponents; }
  // Bits per channel as parsed: 0 red, 1 green, 2 blue, 3 alpha.
  int GetChannelBits(int channel) const { return channel >= 0 && channel < 4 ? _aiChannelBits[channel] : 0; }
  // The zero-terminated attribute list handed to glXChooseFBConfigSGIX.
  const std::vector<int>& GetPixelFormatAttribs() const { return _aiPixelFormatAttribs; }
  // The value following the first occurrence of attribute in the list, or fallback when absent.
  int GetPixelFormatAttrib(int attribute, int fallback = -1) const;

  // Whether GLEW reports GLX_SGIX_pbuffer for the current context.
  static bool HasPbufferExtension();
  // Live pbuffers and pbuffer contexts of all RenderTexture objects of the process.
  static int LivePbuffers();
  static int LiveContexts();
  // X errors caught by the pbuffer code's handler since the process started.
  static int XErrorsCaught();
  // Lets the next caught X error print its warning again (for tests).
  static void RearmXErrorReport();

private:
  void _ParseModeString(const char* mode);
  bool _CreateTextures();
  void _MaybeCopyBuffer();
  bool _Invalidate();
  void _DeleteTextures();
  void _ReleaseContext();
  bool _MakeCurrent(unsigned long draw, unsigned long read, void* context);

  int _iWidth = 0, _iHeight = 0;
  bool _bColorTexture = false;
  bool _bDepthTexture = false;
  bool _bHasARBDepthTexture = true;
  bool _bCopyToTexture = true;
  bool _bInitialized = false;
  int _iComponents = 0;
  int _aiChannelBits[4] = {0, 0, 0, 0};
  bool _bFloat = false;
  bool _bRectangle = false;
  bool _bMipmap = false;
  bool _bShareObjects = false;
  bool _bCopyContext = false;
  _XDisplay* _pDisplay = nullptr;
  void* _hContext = nullptr;          // GLXContext of the pbuffer
  unsigned long _hPbuffer = 0;        // GLXPbufferSGIX
  unsigned long _hPreviousDrawable = 0;
  unsigned long _hPreviousReadDrawable = 0;
  void* _hPreviousContext = nullptr;  // GLXContext current before the capture
  unsigned _eTextureTarget = 0;
  unsigned _uTextureID = 0;
  GLTexture* _pTexture = nullptr;
  unsigned _uDepthTextureID = 0;
  std::vector<int> _aiPixelFormatAttribs;
  RenderTextureExtensions _sExtensions;
  bool _bHoldsErrorHandler = false;
};
