// The pbuffer mode-string parser and the checks that fail before any GLX call, without a display.
#include "CaptureOutput.h"
#include "RenderTexture.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool) clash with its declarations.
#include <GL/glxew.h>

#include <string>
#include <vector>

namespace {

RenderTextureExtensions extensions(bool rectangle, bool floatBuffer) {
  RenderTextureExtensions e;
  e.textureRectangle = rectangle;
  e.floatBuffer = floatBuffer;
  return e;
}

const RenderTextureExtensions kNone = extensions(false, false);
const RenderTextureExtensions kAll = extensions(true, true);

// Parses mode and returns what the parser wrote to standard error.
std::string parseErrors(const char* mode, const RenderTextureExtensions& ext) {
  return captureStderr([&] { RenderTexture rt(mode, ext); });
}

bool hasAttrib(const RenderTexture& rt, int attribute) { return rt.GetPixelFormatAttrib(attribute, -12345) != -12345; }

} // namespace

TEST(RenderTextureMode, PlainColourTextureGivesTheFullAttributeList) {
  RenderTexture rt("tex2D rgba", kNone);
  const std::vector<int> expected = {GLX_RENDER_TYPE_SGIX, GLX_RGBA_BIT_SGIX, GLX_DRAWABLE_TYPE_SGIX,
                                     GLX_PBUFFER_BIT_SGIX, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
                                     GLX_ALPHA_SIZE, 8, GLX_DEPTH_SIZE, 0, GLX_STENCIL_SIZE, 0, 0};
  EXPECT_EQ(rt.GetPixelFormatAttribs(), expected);
  EXPECT_TRUE(rt.IsTexture());
  EXPECT_FALSE(rt.IsDepthTexture());
  EXPECT_FALSE(rt.IsFloatTexture());
  EXPECT_FALSE(rt.IsRectangleTexture());
  EXPECT_TRUE(rt.IsCopyToTexture());
  EXPECT_EQ(rt.GetComponents(), 4);
  EXPECT_FALSE(rt.IsInitialized());
}

TEST(RenderTextureMode, EmptyAndNullStringsAskForAnRgbaPbufferOnly) {
  const std::vector<int> bare = {GLX_RENDER_TYPE_SGIX, GLX_RGBA_BIT_SGIX, GLX_DRAWABLE_TYPE_SGIX,
                                 GLX_PBUFFER_BIT_SGIX, 0};
  RenderTexture empty("", kAll);
  RenderTexture null(static_cast<const char*>(nullptr), kAll);
  EXPECT_EQ(empty.GetPixelFormatAttribs(), bare);
  EXPECT_EQ(null.GetPixelFormatAttribs(), bare);
  EXPECT_TRUE(empty.IsCopyToTexture());
  EXPECT_EQ(empty.GetComponents(), 0);
}

TEST(RenderTextureMode, FloatColourValuesSetEveryChannelAndTheFloatFlag) {
  for (int bits : {16, 32}) {
    const std::string mode = "texRECT rgba=" + std::to_string(bits) + "f";
    RenderTexture rt(mode.c_str(), kAll);
    SCOPED_TRACE(mode);
    EXPECT_TRUE(rt.IsFloatTexture());
    EXPECT_TRUE(rt.IsRectangleTexture());
    for (int attribute : {GLX_RED_SIZE, GLX_GREEN_SIZE, GLX_BLUE_SIZE, GLX_ALPHA_SIZE})
      EXPECT_EQ(rt.GetPixelFormatAttrib(attribute), bits);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(rt.GetChannelBits(c), bits);
    EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_FLOAT_COMPONENTS_NV), 1);
  }
  // Without GLX_NV_float_buffer the float request stays in the flags but not in the attribute list.
  RenderTexture rt("tex2D rgba=32f", kNone);
  EXPECT_TRUE(rt.IsFloatTexture());
  EXPECT_FALSE(hasAttrib(rt, GLX_FLOAT_COMPONENTS_NV));
  EXPECT_EQ(rt.GetPixelFormatAttribs().back(), 0);
}

TEST(RenderTextureMode, BitListsRepeatTheFirstCountWhereCountsAreMissing) {
  RenderTexture rgb("rgb=5,6", kNone);
  EXPECT_EQ(rgb.GetPixelFormatAttrib(GLX_RED_SIZE), 5);
  EXPECT_EQ(rgb.GetPixelFormatAttrib(GLX_GREEN_SIZE), 6);
  EXPECT_EQ(rgb.GetPixelFormatAttrib(GLX_BLUE_SIZE), 5);
  EXPECT_FALSE(hasAttrib(rgb, GLX_ALPHA_SIZE));
  EXPECT_EQ(rgb.GetComponents(), 3);

  RenderTexture rgba("rgba=10,11,12,2", kNone);
  EXPECT_EQ(rgba.GetPixelFormatAttrib(GLX_ALPHA_SIZE), 2);
  EXPECT_EQ(rgba.GetChannelBits(2), 12);

  RenderTexture rg("rg=16f", kAll);
  EXPECT_EQ(rg.GetPixelFormatAttrib(GLX_RED_SIZE), 16);
  EXPECT_EQ(rg.GetPixelFormatAttrib(GLX_GREEN_SIZE), 16);
  EXPECT_EQ(rg.GetComponents(), 2);
  EXPECT_TRUE(rg.IsFloatTexture());

  RenderTexture r("r", kNone);
  EXPECT_EQ(r.GetPixelFormatAttrib(GLX_RED_SIZE), 8);
  EXPECT_EQ(r.GetComponents(), 1);

  // Nonsense counts never read outside the list.
  RenderTexture junk("rgba=,,", kNone);
  EXPECT_EQ(junk.GetPixelFormatAttrib(GLX_ALPHA_SIZE), 8);
  RenderTexture huge("rgba=99999999999999999999", kNone);
  EXPECT_GT(huge.GetPixelFormatAttrib(GLX_RED_SIZE), 0);
}

TEST(RenderTextureMode, SurplusComponentsWarnAndAddNothing) {
  std::string err;
  err = captureStderr([] {
    RenderTexture rt("rgba rgb", kNone);
    EXPECT_EQ(rt.GetComponents(), 4);
    EXPECT_EQ(rt.GetPixelFormatAttribs().size(), 17u);
  });
  EXPECT_EQ(err, "RenderTexture Warning: mistake in components definition (rgb + 4).\n");
  EXPECT_EQ(parseErrors("rgb rgba", kNone), "RenderTexture Warning: mistake in components definition (rgba + 3).\n");
  EXPECT_EQ(parseErrors("rg r", kNone), "RenderTexture Warning: mistake in components definition (r + 2).\n");
  EXPECT_EQ(parseErrors("r rg rg", kNone), "RenderTexture Warning: mistake in components definition (rg + 3).\n");
}

TEST(RenderTextureMode, RectangleTargetNeedsTheRectangleExtension) {
  RenderTexture without("texRECT rgba", kNone);
  EXPECT_TRUE(without.IsTexture());
  EXPECT_FALSE(without.IsRectangleTexture());
  RenderTexture with("texRECT rgba", kAll);
  EXPECT_TRUE(with.IsRectangleTexture());
  RenderTexture cube("texCUBE", kAll);
  EXPECT_TRUE(cube.IsTexture());
  EXPECT_FALSE(cube.IsRectangleTexture());
}

TEST(RenderTextureMode, DepthAndColourTargetsMustMatch) {
  const char* warning = "RenderTexture Warning: Depth and Color texture targets should match.\n";
  EXPECT_EQ(parseErrors("tex2D depthTexRECT", kAll), warning);
  EXPECT_EQ(parseErrors("texRECT depthTexCUBE", kAll), warning);
  // Without the rectangle extension both are 2D targets and match.
  EXPECT_EQ(parseErrors("tex2D depthTexRECT", kNone), "");
  EXPECT_EQ(parseErrors("texRECT depthTexRECT", kAll), "");
}

TEST(RenderTextureMode, DepthAndStencilDefaults) {
  RenderTexture none("rgb", kNone);
  EXPECT_EQ(none.GetPixelFormatAttrib(GLX_DEPTH_SIZE), 0);
  EXPECT_EQ(none.GetPixelFormatAttrib(GLX_STENCIL_SIZE), 0);

  RenderTexture depth("rgb depth", kNone);
  EXPECT_EQ(depth.GetPixelFormatAttrib(GLX_DEPTH_SIZE), 24);
  RenderTexture depth16("rgb depth=16", kNone);
  EXPECT_EQ(depth16.GetPixelFormatAttrib(GLX_DEPTH_SIZE), 16);
  RenderTexture depthTexture("rgb depthTex2D", kNone);
  EXPECT_TRUE(depthTexture.IsDepthTexture());
  EXPECT_EQ(depthTexture.GetPixelFormatAttrib(GLX_DEPTH_SIZE), 24);

  RenderTexture stencil("rgb stencil", kNone);
  EXPECT_EQ(stencil.GetPixelFormatAttrib(GLX_STENCIL_SIZE), 8);
  int stencilEntries = 0;
  const std::vector<int>& a = stencil.GetPixelFormatAttribs();
  for (std::size_t i = 0; i + 1 < a.size(); i += 2) stencilEntries += a[i] == GLX_STENCIL_SIZE;
  EXPECT_EQ(stencilEntries, 1);
  RenderTexture stencil4("rgb stencil=4", kNone);
  EXPECT_EQ(stencil4.GetPixelFormatAttrib(GLX_STENCIL_SIZE), 4);
}

TEST(RenderTextureMode, RemainingKeys) {
  RenderTexture rt("rgba samples=4 double aux=2 mipmap rtt", kNone);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_SAMPLE_BUFFERS_ARB), 1);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_SAMPLES_ARB), 4);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_DOUBLEBUFFER), 1);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_AUX_BUFFERS), 2);
  EXPECT_TRUE(rt.IsMipmapped());
  EXPECT_FALSE(rt.IsCopyToTexture());
  RenderTexture ctt("rgba rtt ctt doublebuffer aux", kNone);
  EXPECT_TRUE(ctt.IsCopyToTexture());
  EXPECT_EQ(ctt.GetPixelFormatAttrib(GLX_DOUBLEBUFFER), 1);
  EXPECT_EQ(ctt.GetPixelFormatAttrib(GLX_AUX_BUFFERS), 0);
}

TEST(RenderTextureMode, UnknownTokenIsReportedWhole) {
  std::string err;
  err = captureStderr([] {
    RenderTexture rt("rgba colour=12,3 tex2D", kNone);
    EXPECT_TRUE(rt.IsTexture());
    EXPECT_EQ(rt.GetPixelFormatAttribs().size(), 17u);
  });
  EXPECT_EQ(err, "RenderTexture Error: Unknown pbuffer attribute: colour=12,3\n");
}

TEST(RenderTextureMode, ResetParsesANewStringFromScratch) {
  RenderTexture rt("texRECT rgba=32f depthTexRECT mipmap", kAll);
  ASSERT_TRUE(rt.IsFloatTexture());
  EXPECT_TRUE(rt.Reset("tex2D rgb=%d", 5));
  EXPECT_FALSE(rt.IsFloatTexture());
  EXPECT_FALSE(rt.IsRectangleTexture());
  EXPECT_FALSE(rt.IsDepthTexture());
  EXPECT_FALSE(rt.IsMipmapped());
  EXPECT_EQ(rt.GetComponents(), 3);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_RED_SIZE), 5);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_DEPTH_SIZE), 0);
  EXPECT_FALSE(hasAttrib(rt, GLX_ALPHA_SIZE));
  EXPECT_FALSE(hasAttrib(rt, GLX_FLOAT_COMPONENTS_NV));
  // An overlong string is cut at 255 characters rather than overrunning.
  const std::string longMode = "tex2D " + std::string(400, 'x');
  EXPECT_TRUE(rt.Reset("%s", longMode.c_str()));
}

TEST(RenderTextureMode, OlderInitializeComposesItsModeString) {
  // Without a context the composition still happens; the extension check then refuses.
  RenderTexture rt(64, 32, true, false);
  EXPECT_FALSE(rt.IsCopyToTexture());
  captureStderr([&] { EXPECT_FALSE(rt.Initialize(true, true, true, false, false, 8, 8, 8, 8, 1)); });
  EXPECT_TRUE(rt.IsTexture());
  EXPECT_TRUE(rt.IsCopyToTexture());
  EXPECT_EQ(rt.GetComponents(), 4);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_DEPTH_SIZE), 24);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_STENCIL_SIZE), 8);
  EXPECT_EQ(rt.GetPixelFormatAttrib(GLX_ALPHA_SIZE), 8);
  EXPECT_FALSE(rt.IsFloatTexture());

  RenderTexture wide(16, 16, true, true);
  captureStderr([&] { wide.Initialize(true, false, false, false, false, 32, 32, 32, 0, 0); });
  EXPECT_TRUE(wide.IsFloatTexture());
  EXPECT_TRUE(wide.IsDepthTexture());
  EXPECT_EQ(wide.GetComponents(), 3);
  EXPECT_EQ(wide.GetPixelFormatAttrib(GLX_BLUE_SIZE), 32);
}

TEST(RenderTextureMode, OperationsBeforeInitializeFailWithTheirMessages) {
  RenderTexture a("tex2D rgba", kNone);
  RenderTexture b("tex2D rgba", kNone);
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.BeginCapture()); }),
            "RenderTexture::BeginCapture(): Texture is not initialized!\n");
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.BeginCapture(nullptr)); }),
            "RenderTexture::BeginCapture(): Texture is not initialized!\n");
  EXPECT_EQ(captureStderr([&] { EXPECT_TRUE(a.BeginCapture(&a)); }), "");
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.BeginCapture(&b)); }),
            "RenderTexture::BeginCapture(RenderTexture*): Texture is not initialized!\n");
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.EndCapture()); }),
            "RenderTexture::EndCapture() : Texture is not initialized!\n");
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.Resize(8, 8)); }),
            "RenderTexture::Resize(): must Initialize() first.\n");
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.Reset(8, 8)); }),
            "RenderTexture Warning: Deprecated Reset() interface used.\n"
            "RenderTexture::Reset(): failed to invalidate.\n");
  EXPECT_FALSE(a.BindAsTexture(0));
  // No GLEW, hence no GLX extensions: the first missing one is named.
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(a.Initialize(16, 16, true, false)); }),
            "Error: RenderTexture requires the following unsupported OpenGL extensions: \nGLX_SGIX_pbuffer");
  EXPECT_EQ(RenderTexture::LivePbuffers(), 0);
  EXPECT_EQ(RenderTexture::LiveContexts(), 0);
}

TEST(RenderTextureModeDeathTest, SizesMustBePositive) {
  EXPECT_DEATH(RenderTexture(0, 4, true, false), "width > 0 && height > 0");
  EXPECT_DEATH(
      {
        RenderTexture rt("tex2D rgba", kNone);
        rt.Initialize(4, -1, true, false);
      },
      "width > 0 && height > 0");
}
