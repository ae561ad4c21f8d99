// The render-to-texture target and the pbuffer render texture on a real context, in framebuffer
// object mode (0) and pbuffer mode (1) alike.
#include "PolykitGL.h"

#include "CaptureOutput.h"
#include "GLBufferObject.h"
#include "GLRenderToTexture.h"
#include "GLTestContext.h"
#include "GLTexture.h"
#include "OffscreenWidgetPass.h"
#include "PkDiag.h"
#include "RenderTexture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

GLuint compileProgram(const std::string& fragment) {
  const char* vertexSource = "void main() { gl_Position = gl_Vertex; }\n";
  const char* fragmentSource = fragment.c_str();
  GLuint vs = glCreateShader(GL_VERTEX_SHADER);
  glShaderSource(vs, 1, &vertexSource, nullptr);
  glCompileShader(vs);
  GLuint fs = glCreateShader(GL_FRAGMENT_SHADER);
  glShaderSource(fs, 1, &fragmentSource, nullptr);
  glCompileShader(fs);
  GLuint program = glCreateProgram();
  glAttachShader(program, vs);
  glAttachShader(program, fs);
  glLinkProgram(program);
  glDeleteShader(vs);
  glDeleteShader(fs);
  GLint linked = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &linked);
  if (!linked) {
    char log[2048] = {0};
    glGetProgramInfoLog(program, sizeof log - 1, nullptr, log);
    ADD_FAILURE() << "pass program does not link: " << log;
  }
  return program;
}

// One full-target pass. The program is bound here every time: in pbuffer mode each target has its
// own context.
void drawPass(GLuint program) {
  glUseProgram(program);
  glBegin(GL_QUADS);
  glVertex2f(-1, -1);
  glVertex2f(1, -1);
  glVertex2f(1, 1);
  glVertex2f(-1, 1);
  glEnd();
  glUseProgram(0);
}

GLuint constantProgram(float r, float g, float b, float a) {
  char source[256];
  std::snprintf(source, sizeof source, "void main() { gl_FragColor = vec4(%.6f, %.6f, %.6f, %.6f); }\n", r, g, b, a);
  return compileProgram(source);
}

std::vector<float> readTexture(GLTexture* texture, int texels) {
  std::vector<float> pixels(static_cast<std::size_t>(texels) * 4, -99.f);
  glBindTexture(texture->target(), texture->id());
  glGetTexImage(texture->target(), 0, GL_RGBA, GL_FLOAT, pixels.data());
  glBindTexture(texture->target(), 0);
  return pixels;
}

std::vector<float> readBuffer(GLBufferObject* buffer, int floats) {
  std::vector<float> values(static_cast<std::size_t>(floats), -99.f);
  buffer->getSubData(0, floats * 4, values.data());
  return values;
}

GLint framebufferBinding() {
  GLint binding = -1;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &binding);
  return binding;
}

std::vector<GLint> viewport() {
  std::vector<GLint> v(4, -1);
  glGetIntegerv(GL_VIEWPORT, v.data());
  return v;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return -1;
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A framebuffer of the caller's own, standing in for the one QOpenGLWidget binds while painting.
struct HostFramebuffer {
  GLuint texture = 0, fbo = 0;
  int width, height;
  HostFramebuffer(int w, int h) : width(w), height(h) {
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    glGenFramebuffersEXT(1, &fbo);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, fbo);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, texture, 0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
  }
  ~HostFramebuffer() {
    glDeleteFramebuffersEXT(1, &fbo);
    glDeleteTextures(1, &texture);
  }
  // Draws the buffer's W*H vertices (x, y, z, w floats in [0, 1]) as white points.
  std::vector<unsigned char> drawPoints(GLBufferObject* buffer) {
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, fbo);
    glViewport(0, 0, width, height);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, 1, 0, 1, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glColor4f(1, 1, 1, 1);
    buffer->bindAsArray();
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(4, GL_FLOAT, 0, nullptr);
    glDrawArrays(GL_POINTS, 0, width * height);
    glDisableClientState(GL_VERTEX_ARRAY);
    buffer->unbindAsArray();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    return pixels;
  }
};

class OffscreenTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(context_.ok());
    ASSERT_TRUE(GLEW_EXT_framebuffer_object);
    ASSERT_TRUE(RenderTexture::HasPbufferExtension());
    takeGLError();
  }
  void TearDown() override {
    GLRenderToTexture::setModeOverride(-1);
    GLRenderToTexture::setPixelBufferObjectsIgnored(false);
    EXPECT_EQ(takeGLError(), 0u);
    EXPECT_EQ(RenderTexture::LivePbuffers(), 0);
    EXPECT_EQ(RenderTexture::LiveContexts(), 0);
  }
  GLTestContext context_;
};

class OffscreenModeTest : public OffscreenTest, public ::testing::WithParamInterface<int> {
protected:
  int mode() const { return GetParam(); }
  // A colour target every mode has: RGBA8 (no float pbuffers exist here).
  GLTexture* createColourTarget(GLRenderToTexture& rtt, int w, int h) {
    return rtt.createTexture2D(0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  }
  // Mode 0 reads back float targets exactly; mode 1 only has 8-bit pbuffers.
  GLint bufferFormat() const { return mode() == 0 ? GL_RGBA32F_ARB : GL_RGBA8; }
  float tolerance() const { return mode() == 0 ? 0.f : 1.f / 255.f + 1e-6f; }
};

std::string modeName(const ::testing::TestParamInfo<int>& info) {
  return info.param == 0 ? "FramebufferObject" : "Pbuffer";
}

} // namespace

WidgetCaptureResult captureInsideWidget(int mode) {
  WidgetCaptureResult r;
  if (!pk::initGlew()) return r;
  r.boundBefore = framebufferBinding();
  glClearColor(0.125f, 0.25f, 0.375f, 0.5f); // marks the widget's context
  {
    GLRenderToTexture rtt(8, 8, mode);
    r.mode = rtt.mode();
    GLTexture* target = rtt.createTexture2D(0, GL_RGBA8, 8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    r.boundAfterCreate = framebufferBinding();
    if (!target) return r;
    GLuint program = constantProgram(1, 0, 0, 1);
    if (rtt.beginCapture()) {
      drawPass(program);
      rtt.endCapture();
    }
    glDeleteProgram(program);
    r.boundAfterCapture = framebufferBinding();
    GLfloat clear[4] = {0, 0, 0, 0};
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    r.sameContextAfter = clear[0] == 0.125f && clear[2] == 0.375f;
    r.targetRed = readTexture(target, 64)[0];
    if (rtt.mode() == 0) delete target;
  }
  glClearColor(0, 1, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  return r;
}

TEST_F(OffscreenTest, ModeFollowsTheRequestAndTheOverride) {
  EXPECT_EQ(GLRenderToTexture(8, 8, 0).mode(), 0);
  EXPECT_EQ(GLRenderToTexture(8, 8, 1).mode(), 1);
  EXPECT_EQ(GLRenderToTexture(8, 8, 7).mode(), 0); // unknown request: framebuffer objects first
  GLRenderToTexture::setModeOverride(1);
  EXPECT_EQ(GLRenderToTexture(8, 8, 0).mode(), 1);
  GLRenderToTexture::setModeOverride(-1);
  EXPECT_EQ(GLRenderToTexture(8, 8, 0).mode(), 0);
}

TEST_F(OffscreenTest, FramebufferFloatTargetsKeepValuesNoByteTargetCouldHold) {
  const int w = 8, h = 4;
  GLRenderToTexture rtt(w, h, 0);
  ASSERT_EQ(rtt.mode(), 0);
  GLTextureRectangle* rect = rtt.createTextureRect(0, GL_RGBA32F_ARB, w, h, 0, GL_RGBA, GL_FLOAT, nullptr);
  GLTexture2D* flat = rtt.createTexture2D(0, GL_RGBA32F_ARB, w, h, 0, GL_RGBA, GL_FLOAT, nullptr);
  ASSERT_TRUE(rect && flat);
  std::unique_ptr<GLTexture> ownRect(rect), ownFlat(flat); // mode 0: the caller's
  EXPECT_EQ(rect->target(), static_cast<GLenum>(GL_TEXTURE_RECTANGLE_ARB));
  GLuint program = compileProgram("void main() {\n"
                                  "  vec2 p = floor(gl_FragCoord.xy);\n"
                                  "  gl_FragColor = vec4(-3.5 - p.x, 1.0e6 * (p.y + 1.0), 0.1 * p.x, 1.0 / 3.0);\n"
                                  "}\n");
  ASSERT_TRUE(rtt.beginCapture());
  for (GLTexture* target : {static_cast<GLTexture*>(rect), static_cast<GLTexture*>(flat)}) {
    ASSERT_TRUE(rtt.setTarget(target, 0, 0));
    drawPass(program);
  }
  rtt.endCapture();
  glDeleteProgram(program);

  std::vector<float> expected;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      expected.insert(expected.end(), {-3.5f - float(x), 1.0e6f * (float(y) + 1.f), 0.1f * float(x), 1.f / 3.f});
  for (GLTexture* target : {static_cast<GLTexture*>(rect), static_cast<GLTexture*>(flat)}) {
    const std::vector<float> got = readTexture(target, w * h);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0)
        << "first texel " << got[0] << " " << got[1] << " " << got[2] << " " << got[3];
  }
}

TEST_F(OffscreenTest, PbufferByteTargetReadsBackWithinOneStep) {
  const int w = 8, h = 8;
  RenderTexture::RearmXErrorReport();
  const int errorsBefore = RenderTexture::XErrorsCaught();
  std::string out, err;
  err = captureStderr([&] {
    GLRenderToTexture rtt(w, h, 1);
    ASSERT_EQ(rtt.mode(), 1);
    GLTexture* texture = nullptr;
    out = captureStdout(
        [&] { texture = rtt.createTexture2D(0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr); });
    ASSERT_TRUE(texture);
    EXPECT_EQ(out, "TEXTUREID: " + std::to_string(texture->id()) + "\n");
    EXPECT_EQ(RenderTexture::LivePbuffers(), 1);
    EXPECT_EQ(RenderTexture::LiveContexts(), 1);
    GLuint program = compileProgram("void main() {\n"
                                    "  vec2 p = floor(gl_FragCoord.xy);\n"
                                    "  gl_FragColor = vec4(p.x / 7.0, p.y / 7.0, 0.25, 0.75);\n"
                                    "}\n");
    for (int round = 0; round < 3; ++round) { // every switch back raises the platform's X error
      ASSERT_TRUE(rtt.beginCapture());
      drawPass(program);
      rtt.endCapture();
    }
    glDeleteProgram(program);
    const std::vector<float> got = readTexture(texture, w * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const float* texel = &got[(y * w + x) * 4];
        const float want[4] = {x / 7.f, y / 7.f, 0.25f, 0.75f};
        for (int c = 0; c < 4; ++c) ASSERT_NEAR(texel[c], want[c], 1.f / 255.f + 1e-6f) << x << "," << y << " " << c;
      }
  });
  // Mesa under Xvfb raises BadMatch on switching back from an RGBA8 pbuffer: the pbuffer code's
  // handler takes every one of them and says so once.
  EXPECT_GT(RenderTexture::XErrorsCaught(), errorsBefore + 1);
  EXPECT_EQ(countOf(err, "RenderTexture Warning: X error caught while pbuffers are in use"), 1) << err;
}

TEST_F(OffscreenTest, PbufferFloatTargetsDoNotExistHere) {
  GLRenderToTexture rtt(8, 8, 1);
  ASSERT_EQ(rtt.mode(), 1);
  const std::string noFormat = "RenderTexture Error: Couldn't find a suitable pixel format.\n";
  std::string err;
  err = captureStderr([&] {
    EXPECT_EQ(rtt.createTexture2D(0, GL_RGBA32F_ARB, 8, 8, 0, GL_RGBA, GL_FLOAT, nullptr), nullptr);
  });
  EXPECT_EQ(err, noFormat);
  err = captureStderr([&] {
    EXPECT_EQ(rtt.createTextureRect(0, GL_RGBA16F_ARB, 8, 8, 0, GL_RGBA, GL_FLOAT, nullptr), nullptr);
    EXPECT_EQ(rtt.createBuffer(GL_RGBA32F_ARB, 8, 8, GL_RGBA, GL_FLOAT, 0), nullptr);
  });
  EXPECT_EQ(err, noFormat + noFormat);
  EXPECT_EQ(RenderTexture::LivePbuffers(), 0);
  // Nothing selectable was left behind.
  EXPECT_FALSE(rtt.beginCapture());
  EXPECT_EQ(rtt.createTexture1D(0, GL_RGBA8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr), nullptr);
  EXPECT_EQ(rtt.createTexture3D(0, GL_RGBA8, 8, 8, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr), nullptr);
}

// Buffer targets, drawn afterwards as vertex arrays: pixel (x, y) of the pass holds the position of
// the point it stands for, the mirror image (W-1-x, y) for every third pixel and (0, 0) otherwise.
class OffscreenBufferTest : public OffscreenTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {
protected:
  static constexpr int w = 16, h = 8;
  const int mode = std::get<0>(GetParam());
  const bool hostArray = std::get<1>(GetParam());
  std::unique_ptr<GLRenderToTexture> rtt;
  GLBufferObject* buffer = nullptr;

  void TearDown() override {
    rtt.reset(); // its pbuffers go before the fixture counts what is left
    OffscreenTest::TearDown();
  }

  // A w × h float buffer target in the parameter's mode and read-back path.
  void makeTarget() {
    GLRenderToTexture::setPixelBufferObjectsIgnored(hostArray);
    rtt = std::make_unique<GLRenderToTexture>(w, h, mode);
    ASSERT_EQ(rtt->mode(), mode);
    buffer = rtt->createBuffer(mode == 0 ? GL_RGBA32F_ARB : GL_RGBA8, w, h, GL_RGBA, GL_FLOAT, GL_NONE);
    ASSERT_TRUE(buffer);
  }
};

TEST_P(OffscreenBufferTest, EndCaptureFillsTheBufferThatDrawsTheExpectedPoints) {
  ASSERT_NO_FATAL_FAILURE(makeTarget());
  GLRenderToTexture& rtt = *this->rtt;
  EXPECT_EQ(buffer->target(), static_cast<GLenum>(hostArray ? GL_ARRAY_BUFFER : GL_PIXEL_PACK_BUFFER));
  EXPECT_EQ(buffer->size(), w * h * 4 * 4);
  GLuint program = compileProgram("void main() {\n"
                                  "  vec2 p = floor(gl_FragCoord.xy);\n"
                                  "  bool keep = mod(p.x + 2.0 * p.y, 3.0) < 0.5;\n"
                                  "  vec2 t = keep ? vec2(15.0 - p.x, p.y) : vec2(0.0);\n"
                                  "  gl_FragColor = vec4((t + 0.5) / vec2(16.0, 8.0), 0.0, 1.0);\n"
                                  "}\n");
  ASSERT_TRUE(rtt.beginCapture());
  ASSERT_TRUE(rtt.setTarget(buffer));
  if (mode == 0) glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
  drawPass(program);
  rtt.endCapture();
  glDeleteProgram(program);

  const std::vector<float> values = readBuffer(buffer, w * h * 4);
  const float tol = mode == 0 ? 0.f : 1.f / 255.f + 1e-6f;
  std::vector<bool> covered(w * h, false);
  covered[0] = true;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool keep = (x + 2 * y) % 3 == 0;
      const int tx = keep ? w - 1 - x : 0, ty = keep ? y : 0;
      if (keep) covered[ty * w + tx] = true;
      const float* v = &values[(y * w + x) * 4];
      ASSERT_NEAR(v[0], (tx + 0.5f) / w, tol) << x << "," << y;
      ASSERT_NEAR(v[1], (ty + 0.5f) / h, tol) << x << "," << y;
      ASSERT_EQ(v[3], 1.f);
    }

  HostFramebuffer host(w, h);
  const std::vector<unsigned char> image = host.drawPoints(buffer);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      EXPECT_EQ(image[(y * w + x) * 4] == 255, covered[y * w + x]) << "pixel " << x << "," << y;
}

TEST_P(OffscreenBufferTest, CopyRowsLeaveTheBuffersOtherRowsAsTheyWere) {
  // Two passes into one buffer target: the first fills every row with 0.25, the second writes 0.75
  // but only rows 3 and 4 (from the bottom) are copied. Those rows hold 0.75 at their own place in
  // the buffer; every other row keeps the first pass's value. A copy of no rows copies nothing.
  ASSERT_NO_FATAL_FAILURE(makeTarget());
  GLRenderToTexture& rtt = *this->rtt;
  GLuint quarter = compileProgram("void main() { gl_FragColor = vec4(0.25); }\n");
  GLuint threeQuarters = compileProgram("void main() { gl_FragColor = vec4(0.75); }\n");
  auto passInto = [&](GLuint program) {
    ASSERT_TRUE(rtt.beginCapture());
    ASSERT_TRUE(rtt.setTarget(buffer));
    if (mode == 0) glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    drawPass(program);
    rtt.endCapture();
  };
  passInto(quarter);
  rtt.setCopyRows(3, 2);
  passInto(threeQuarters);
  const float tol = mode == 0 ? 0.f : 1.f / 255.f + 1e-6f;
  std::vector<float> values = readBuffer(buffer, w * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_NEAR(values[std::size_t((y * w + x) * 4)], y == 3 || y == 4 ? 0.75f : 0.25f, tol) << x << "," << y;

  rtt.setCopyRows(0, 0);
  passInto(quarter);
  EXPECT_EQ(readBuffer(buffer, w * h * 4), values);
  rtt.setCopyRows(6, 100); // clipped to the target
  passInto(quarter);
  values = readBuffer(buffer, w * h * 4);
  for (int y = 0; y < h; ++y)
    ASSERT_NEAR(values[std::size_t(y * w * 4)], y == 3 || y == 4 ? 0.75f : 0.25f, tol) << y;
  rtt.setCopyRows(0, -1);
  passInto(threeQuarters);
  values = readBuffer(buffer, w * h * 4);
  for (int y = 0; y < h; ++y) ASSERT_NEAR(values[std::size_t(y * w * 4)], 0.75f, tol) << y;
  glDeleteProgram(quarter);
  glDeleteProgram(threeQuarters);
}

INSTANTIATE_TEST_SUITE_P(Modes, OffscreenBufferTest,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Values(false, true)),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return std::string(std::get<0>(info.param) == 0 ? "FramebufferObject" : "Pbuffer") +
                                  (std::get<1>(info.param) ? "HostArray" : "PixelPack");
                         });

TEST_P(OffscreenModeTest, SwitchingTargetsWritesEachWithItsOwnPass) {
  const int w = 8, h = 4;
  GLRenderToTexture rtt(w, h, mode());
  ASSERT_EQ(rtt.mode(), mode());
  HostFramebuffer host(w, h);
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, host.fbo);

  // Creation restores the caller's framebuffer binding.
  GLTexture* a = createColourTarget(rtt, w, h);
  GLTexture* b = rtt.createTextureRect(0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  GLBufferObject* bufA = rtt.createBuffer(bufferFormat(), w, h, GL_RGBA, GL_FLOAT, GL_NONE);
  GLBufferObject* bufB = rtt.createBuffer(bufferFormat(), w, h, GL_RGBA, GL_FLOAT, GL_NONE);
  ASSERT_TRUE(a && b && bufA && bufB);
  EXPECT_EQ(framebufferBinding(), static_cast<GLint>(host.fbo));
  EXPECT_EQ(b->target(), static_cast<GLenum>(GL_TEXTURE_RECTANGLE_ARB));

  const float colours[4][4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0.25f, 0.5f, 0.75f, 1}, {0.5f, 0.25f, 0, 1}};
  GLuint programs[4];
  for (int i = 0; i < 4; ++i) programs[i] = constantProgram(colours[i][0], colours[i][1], colours[i][2], colours[i][3]);

  glViewport(3, 4, 5, 6);
  ASSERT_TRUE(rtt.beginCapture());
  EXPECT_TRUE(rtt.isCapturing());
  EXPECT_EQ(viewport(), (std::vector<GLint>{0, 0, w, h}));
  ASSERT_TRUE(rtt.setTarget(a, 0, 0));
  drawPass(programs[0]);
  ASSERT_TRUE(rtt.setTarget(bufA));
  drawPass(programs[2]);
  ASSERT_TRUE(rtt.setTarget(b, 0, 0));
  EXPECT_EQ(viewport(), (std::vector<GLint>{0, 0, w, h}));
  drawPass(programs[1]);
  ASSERT_TRUE(rtt.setTarget(bufB));
  drawPass(programs[3]);
  rtt.endCapture();
  EXPECT_FALSE(rtt.isCapturing());
  EXPECT_EQ(viewport(), (std::vector<GLint>{3, 4, 5, 6}));
  EXPECT_EQ(framebufferBinding(), static_cast<GLint>(host.fbo));
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
  for (GLuint p : programs) glDeleteProgram(p);

  const std::vector<float> pixelsA = readTexture(a, w * h), pixelsB = readTexture(b, w * h);
  const std::vector<float> valuesA = readBuffer(bufA, w * h * 4), valuesB = readBuffer(bufB, w * h * 4);
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 4; ++c) {
      ASSERT_NEAR(pixelsA[i * 4 + c], colours[0][c], 1.f / 255.f) << i;
      ASSERT_NEAR(pixelsB[i * 4 + c], colours[1][c], 1.f / 255.f) << i;
      ASSERT_NEAR(valuesA[i * 4 + c], colours[2][c], tolerance() + 1e-6f) << i;
      ASSERT_NEAR(valuesB[i * 4 + c], colours[3][c], tolerance() + 1e-6f) << i;
    }
  if (mode() == 0) {
    delete a;
    delete b;
  }
}

TEST_P(OffscreenModeTest, ZeroWidthLeavesTheViewportAlone) {
  GLRenderToTexture rtt(0, 0, mode());
  ASSERT_EQ(rtt.mode(), mode());
  GLTexture* target = createColourTarget(rtt, 8, 8);
  ASSERT_TRUE(target);
  glViewport(1, 2, 3, 4);
  ASSERT_TRUE(rtt.beginCapture());
  if (mode() == 0) {
    EXPECT_EQ(viewport(), (std::vector<GLint>{1, 2, 3, 4}));
  }
  rtt.endCapture();
  EXPECT_EQ(viewport(), (std::vector<GLint>{1, 2, 3, 4}));
  if (mode() == 0) delete target;
}

TEST_P(OffscreenModeTest, ForeignTargetsAreRefused) {
  const int w = 4, h = 4;
  GLRenderToTexture rtt(w, h, mode());
  ASSERT_EQ(rtt.mode(), mode());
  GLBufferObject* own = rtt.createBuffer(bufferFormat(), w, h, GL_RGBA, GL_FLOAT, GL_NONE);
  ASSERT_TRUE(own);
  const std::vector<float> sentinel(w * h * 4, 7.f);
  GLBufferObject foreign(GL_PIXEL_PACK_BUFFER);
  foreign.setData(own->size(), nullptr, GL_DYNAMIC_DRAW);
  GLuint program = constantProgram(0.5f, 0.5f, 0.5f, 1.f);

  ASSERT_TRUE(rtt.beginCapture());
  ASSERT_TRUE(rtt.setTarget(own));
  drawPass(program);
  own->setSubData(0, own->size(), sentinel.data());
  EXPECT_FALSE(rtt.setTarget(&foreign));
  EXPECT_FALSE(rtt.setTarget(static_cast<GLBufferObject*>(nullptr)));
  EXPECT_EQ(readBuffer(own, w * h * 4), sentinel); // not read back on the refusal
  rtt.endCapture();
  const std::vector<float> values = readBuffer(own, w * h * 4);
  EXPECT_NEAR(values[0], 0.5f, 1.f / 255.f);       // still the target when the capture ended
  glDeleteProgram(program);

  GLTexture2D stranger;
  stranger.create(GL_TEXTURE0);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  stranger.unbind();
  // A framebuffer object takes any texture; a pbuffer only its own.
  EXPECT_EQ(rtt.setTarget(&stranger, 0, 0), mode() == 0);
  EXPECT_FALSE(rtt.setTarget(static_cast<GLTexture*>(nullptr), 0, 0));
  if (mode() == 1) {
    EXPECT_FALSE(rtt.beginCapture());
    EXPECT_FALSE(rtt.isCapturing());
  }
}

TEST_P(OffscreenModeTest, ReleasedBuffersGoWithTheirTextureAndPbuffer) {
  GLRenderToTexture rtt(4, 4, mode());
  ASSERT_EQ(rtt.mode(), mode());
  GLBufferObject* first = rtt.createBuffer(bufferFormat(), 4, 4, GL_RGBA, GL_FLOAT, GL_NONE);
  GLBufferObject* second = rtt.createBuffer(bufferFormat(), 4, 4, GL_RGBA, GL_FLOAT, GL_NONE);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(rtt.bufferCount(), 2);
  const int pbuffers = RenderTexture::LivePbuffers();
  GLBufferObject foreign(GL_PIXEL_PACK_BUFFER);
  EXPECT_FALSE(rtt.releaseBuffer(&foreign));
  EXPECT_FALSE(rtt.releaseBuffer(nullptr));
  ASSERT_TRUE(rtt.beginCapture());
  EXPECT_FALSE(rtt.releaseBuffer(first)); // not while capturing
  rtt.endCapture();
  EXPECT_TRUE(rtt.releaseBuffer(first));
  EXPECT_FALSE(rtt.releaseBuffer(first));
  EXPECT_EQ(rtt.bufferCount(), 1);
  EXPECT_EQ(RenderTexture::LivePbuffers(), mode() == 1 ? pbuffers - 1 : pbuffers);
  // The remaining target still works.
  ASSERT_TRUE(rtt.setTarget(second));
  ASSERT_TRUE(rtt.beginCapture());
  GLuint program = constantProgram(0.25f, 0.5f, 0.75f, 1.f);
  drawPass(program);
  rtt.endCapture();
  glDeleteProgram(program);
  EXPECT_NEAR(readBuffer(second, 4)[1], 0.5f, 1.f / 255.f);
}

INSTANTIATE_TEST_SUITE_P(Modes, OffscreenModeTest, ::testing::Values(0, 1), modeName);

TEST_F(OffscreenTest, FramebufferCreationDuringACaptureKeepsTheTargetBound) {
  GLRenderToTexture rtt(4, 4, 0);
  HostFramebuffer host(4, 4);
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, host.fbo);
  std::unique_ptr<GLTexture> first(rtt.createTexture2D(0, GL_RGBA8, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
  ASSERT_TRUE(rtt.beginCapture());
  const GLint own = framebufferBinding();
  EXPECT_NE(own, static_cast<GLint>(host.fbo));
  std::unique_ptr<GLTexture> flat(rtt.createTexture2D(0, GL_RGBA8, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
  EXPECT_EQ(framebufferBinding(), own);
  std::unique_ptr<GLTexture> rect(rtt.createTextureRect(0, GL_RGBA32F_ARB, 4, 4, 0, GL_RGBA, GL_FLOAT, nullptr));
  EXPECT_EQ(framebufferBinding(), own);
  ASSERT_TRUE(rtt.createBuffer(GL_RGBA8, 4, 4, GL_RGBA, GL_UNSIGNED_BYTE, 0));
  EXPECT_EQ(framebufferBinding(), own);
  rtt.endCapture();
  EXPECT_EQ(framebufferBinding(), static_cast<GLint>(host.fbo));
  // Selecting a target outside a capture never attaches to the caller's framebuffer.
  EXPECT_TRUE(rtt.setTarget(flat.get(), 0, 0));
  EXPECT_EQ(framebufferBinding(), static_cast<GLint>(host.fbo));
  GLint attached = -1;
  glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT,
                                           GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT, &attached);
  EXPECT_EQ(attached, static_cast<GLint>(host.texture));
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
}

TEST_F(OffscreenTest, FramebufferOneAndThreeDimensionalTargets) {
  GLRenderToTexture rtt(4, 4, 0);
  const std::vector<float> zeros(4 * 4 * 3 * 4, 0.f);
  std::unique_ptr<GLTexture1D> line(rtt.createTexture1D(0, GL_RGBA32F_ARB, 4, 0, GL_RGBA, GL_FLOAT, zeros.data()));
  std::unique_ptr<GLTexture3D> volume(
      rtt.createTexture3D(0, GL_RGBA32F_ARB, 4, 4, 3, 0, GL_RGBA, GL_FLOAT, zeros.data()));
  ASSERT_TRUE(line && volume);
  EXPECT_EQ(volume->depth(), 3);
  EXPECT_FALSE(rtt.isCapturing());
  EXPECT_EQ(framebufferBinding(), 0);

  GLuint program = constantProgram(0.5f, -2.f, 4.f, 1.f);
  ASSERT_TRUE(rtt.beginCapture());
  ASSERT_TRUE(rtt.setTarget(volume.get(), 0, 1));
  drawPass(program);
  rtt.endCapture();
  glDeleteProgram(program);
  const std::vector<float> texels = readTexture(volume.get(), 4 * 4 * 3);
  for (int slice = 0; slice < 3; ++slice) {
    const float* t = &texels[slice * 16 * 4];
    EXPECT_EQ(t[1], slice == 1 ? -2.f : 0.f) << slice;
  }
}

TEST_F(OffscreenTest, FramebufferStatusMessages) {
  GLRenderToTexture rtt(4, 4, 0);
  ASSERT_TRUE(rtt.beginCapture());
  // Nothing attached yet.
  EXPECT_EQ(captureStderr([&] { EXPECT_FALSE(rtt.checkStatus()); }),
            pk::errorText("Incomplete missing attachment"));
  rtt.endCapture();
}

TEST(OffscreenDeathTest, IncompleteAttachmentEndsTheProcessAsAFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        GLTestContext context;
        GLRenderToTexture rtt(4, 4, 0);
        // A texture without an image cannot be rendered into.
        rtt.createTexture2D(0, GL_RGBA8, 0, 0, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "Incomplete attachment");
}

TEST_F(OffscreenTest, PbufferChainsReturnToTheFirstContext) {
  glClearColor(0.125f, 0.25f, 0.375f, 0.5f); // marks the caller's context
  RenderTexture a("tex2D rgba"), b("tex2D rgb");
  captureStdout([&] {
    ASSERT_TRUE(a.Initialize(8, 8, true, false));
    ASSERT_TRUE(b.Initialize(8, 8, true, false));
  });
  EXPECT_EQ(RenderTexture::LivePbuffers(), 2);
  EXPECT_EQ(RenderTexture::LiveContexts(), 2);
  ASSERT_TRUE(a.BeginCapture());
  glClearColor(1, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  ASSERT_TRUE(b.BeginCapture(&a));
  glClearColor(0, 0, 1, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  ASSERT_TRUE(b.EndCapture());
  GLfloat clear[4] = {0, 0, 0, 0};
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
  EXPECT_EQ(clear[2], 0.375f) << "not back in the caller's context";
  EXPECT_NEAR(readTexture(a.GetTexture(), 64)[0], 1.f, 1e-6f);
  EXPECT_NEAR(readTexture(b.GetTexture(), 64)[2], 1.f, 1e-6f);
  EXPECT_EQ(b.GetTexture()->target(), static_cast<GLenum>(GL_TEXTURE_2D));

  // Resize rebuilds pbuffer and context; Reset releases them.
  captureStdout([&] { ASSERT_TRUE(a.Resize(16, 4)); });
  EXPECT_EQ(a.GetWidth(), 16);
  EXPECT_EQ(a.GetHeight(), 4);
  EXPECT_EQ(RenderTexture::LiveContexts(), 2);
  EXPECT_TRUE(b.Reset("tex2D rgba"));
  EXPECT_FALSE(b.IsInitialized());
  EXPECT_EQ(RenderTexture::LivePbuffers(), 1);
  EXPECT_EQ(RenderTexture::LiveContexts(), 1);

  RenderTexture older(8, 8, true, false);
  captureStdout([&] { EXPECT_TRUE(older.Initialize(true, false, false, false, false, 8, 8, 8, 8, 1)); });
  EXPECT_TRUE(older.IsInitialized());

  // The depth buffer is copied into the depth texture as well.
  RenderTexture depth("tex2D rgb depthTex2D");
  captureStdout([&] { ASSERT_TRUE(depth.Initialize(4, 4, true, false)); });
  ASSERT_NE(depth.GetDepthTextureID(), 0u);
  ASSERT_TRUE(depth.BeginCapture());
  glClearDepth(0.25);
  glClear(GL_DEPTH_BUFFER_BIT);
  ASSERT_TRUE(depth.EndCapture());
  std::vector<float> depths(16, -1.f);
  glBindTexture(GL_TEXTURE_2D, depth.GetDepthTextureID());
  glGetTexImage(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT, GL_FLOAT, depths.data());
  glBindTexture(GL_TEXTURE_2D, 0);
  EXPECT_NEAR(depths[5], 0.25f, 1e-6f);
}

TEST_F(OffscreenTest, DestroyingACapturingTargetReturnsToTheCallersContext) {
  glClearColor(0.125f, 0.25f, 0.375f, 0.5f);
  glViewport(2, 3, 4, 5);
  for (bool throughTarget : {true, false}) {
    captureStdout([&] {
      if (throughTarget) {
        GLRenderToTexture rtt(8, 8, 1);
        ASSERT_TRUE(rtt.createTexture2D(0, GL_RGBA8, 8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
        ASSERT_TRUE(rtt.beginCapture());
      } else {
        RenderTexture pbuffer("tex2D rgba");
        ASSERT_TRUE(pbuffer.Initialize(8, 8, true, false));
        ASSERT_TRUE(pbuffer.BeginCapture());
      }
    });
    GLfloat clear[4] = {0, 0, 0, 0};
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    EXPECT_EQ(clear[2], 0.375f) << (throughTarget ? "render target" : "render texture");
    EXPECT_EQ(viewport(), (std::vector<GLint>{2, 3, 4, 5}));
  }
}

TEST_F(OffscreenTest, TwoHundredPbufferTargetsLeaveNothingBehind) {
  auto cycle = [] {
    GLRenderToTexture rtt(16, 16, 1);
    ASSERT_EQ(rtt.mode(), 1);
    GLTexture* texture = rtt.createTexture2D(0, GL_RGBA8, 16, 16, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    GLBufferObject* buffer = rtt.createBuffer(GL_RGBA8, 16, 16, GL_RGBA, GL_UNSIGNED_BYTE, 0);
    ASSERT_TRUE(texture && buffer);
    ASSERT_TRUE(rtt.beginCapture());
    glClear(GL_COLOR_BUFFER_BIT);
    ASSERT_TRUE(rtt.setTarget(buffer));
    glClear(GL_COLOR_BUFFER_BIT);
    rtt.endCapture();
    ASSERT_EQ(RenderTexture::LivePbuffers(), 2);
  };
  long afterWarmUp = 0;
  captureStdout([&] {
    for (int i = 0; i < 200; ++i) {
      cycle();
      ASSERT_EQ(RenderTexture::LivePbuffers(), 0) << "cycle " << i;
      ASSERT_EQ(RenderTexture::LiveContexts(), 0) << "cycle " << i;
      if (i == 19) afterWarmUp = residentKiB();
    }
  });
  const long growth = residentKiB() - afterWarmUp;
  // A leaked pbuffer context costs far more than this over 180 cycles.
  EXPECT_LT(growth, 16 * 1024) << "resident memory grew by " << growth << " KiB";
}
