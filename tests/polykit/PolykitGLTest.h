// Shared set-up of the OpenGL library's tests: an offscreen context per test suite, and a check that
// the OpenGL work of each test left no error behind.
#pragma once

#include "PolykitGL.h"

#include "CaptureOutput.h"
#include "GLTestContext.h"
#include "PkDiag.h"

#include <gtest/gtest.h>

#include <memory>

class PolykitGL : public ::testing::Test {
protected:
  static void SetUpTestSuite() { context().reset(new GLTestContext); }
  static void TearDownTestSuite() { context().reset(); }
  void SetUp() override {
    ASSERT_TRUE(context()->ok());
    context()->makeCurrent();
    takeGLError();
  }
  void TearDown() override { EXPECT_EQ(takeGLError(), 0u) << "OpenGL error left by the test"; }
  static std::unique_ptr<GLTestContext>& context() {
    static std::unique_ptr<GLTestContext> c;
    return c;
  }
  static GLint getInteger(GLenum name) {
    GLint v = 0;
    glGetIntegerv(name, &v);
    return v;
  }
};

#include "GLFramebufferEXT.h"
#include "GLSLShader.h"
#include "GLTexture.h"

#include <vector>

// Vertex shader that passes the quad's corners through.
constexpr const char* kPassVertexShader = "void main() { gl_Position = gl_Vertex; }\n";

// An RGBA8 colour texture in a framebuffer object; draw() covers it with one quad using the bound
// program and reads every pixel back.
class ColourTarget {
public:
  ColourTarget(int width, int height) : width_(width), height_(height) {
    colour_.create(GL_TEXTURE0);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    colour_.unbind();
    const GLint saved = binding();
    fbo_.bind();
    fbo_.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &colour_, 0, 0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved));
  }
  std::vector<unsigned char> draw() {
    const GLint saved = binding();
    fbo_.bind();
    glViewport(0, 0, width_, height_);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glBegin(GL_QUADS);
    glVertex2f(-1, -1);
    glVertex2f(1, -1);
    glVertex2f(1, 1);
    glVertex2f(-1, 1);
    glEnd();
    std::vector<unsigned char> pixels(static_cast<size_t>(width_) * height_ * 4);
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved));
    return pixels;
  }
  GLFramebufferEXT& fbo() { return fbo_; }

private:
  static GLint binding() {
    GLint b = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &b);
    return b;
  }
  int width_, height_;
  GLTexture2D colour_;
  GLFramebufferEXT fbo_;
};

// Every pixel of an RGBA read-back equals the given colour.
inline ::testing::AssertionResult allPixelsAre(const std::vector<unsigned char>& pixels,
                                               std::vector<unsigned char> rgba) {
  for (size_t i = 0; i + 4 <= pixels.size(); i += 4)
    if (!std::equal(rgba.begin(), rgba.end(), pixels.begin() + i))
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " is " << int(pixels[i]) << "," << int(pixels[i + 1]) << ","
             << int(pixels[i + 2]) << "," << int(pixels[i + 3]);
  return ::testing::AssertionSuccess();
}
