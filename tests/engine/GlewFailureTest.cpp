// The engine's set-up when GLEW cannot be initialised (here: no OpenGL context is current, so GLEW
// finds no OpenGL version). Nothing past the failure may call an extension entry point, and the
// quit the engine asks for must reach the application's event loop although it is asked for
// before that loop runs. A process of its own: the test runs the application's loop to its end.
#include "IsosurfaceEngine.h" // first: GLEW before Qt's OpenGL headers

#include "CaptureOutput.h"
#include "PkContext.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

int entryPointCalls = 0;

// An entry point that only counts its calls.
template <typename R, typename... Args>
R GLAPIENTRY counted(Args...) {
  ++entryPointCalls;
  return R();
}

// One of GLEW's entry points replaced while it lives. A GLEW initialisation that finds no OpenGL
// version fails before it loads any entry point, so the replacement stays in place through it.
template <typename Proc>
class Replaced {
public:
  Replaced(Proc& slot, Proc with) : slot_(slot), saved_(slot) { slot = with; }
  ~Replaced() { slot_ = saved_; }
  Replaced(const Replaced&) = delete;
  Replaced& operator=(const Replaced&) = delete;

private:
  Proc& slot_;
  Proc saved_;
};

} // namespace

TEST(GlewFailure, StopsTheSetUpAndQuitsThroughTheEventLoop) {
  ASSERT_FALSE(pk::hasCurrentContext());

  IsosurfaceEngine engine;
  int calls = -1;
  const std::string said = captureStderr([&] {
    // What the set-up's render targets, programs, buffers and back-end choice start with.
    Replaced genBuffers(__glewGenBuffersARB, counted<void, GLsizei, GLuint*>);
    Replaced activeTexture(__glewActiveTextureARB, counted<void, GLenum>);
    Replaced genFramebuffers(__glewGenFramebuffersEXT, counted<void, GLsizei, GLuint*>);
    Replaced genRenderbuffers(__glewGenRenderbuffersEXT, counted<void, GLsizei, GLuint*>);
    Replaced createShader(__glewCreateShaderObjectARB, counted<GLhandleARB, GLenum>);
    Replaced createProgram(__glewCreateProgramObjectARB, counted<GLhandleARB>);
    Replaced createCoreProgram(__glewCreateProgram, counted<GLuint>);
    entryPointCalls = 0;
    engine.initializeGL();
    calls = entryPointCalls;
  });
  EXPECT_NE(said.find("cannot initialize OpenGL"), std::string::npos) << said;
  EXPECT_NE(said.find("GLEW Error: "), std::string::npos) << said;
  EXPECT_EQ(calls, 0) << "extension entry points called after GLEW failed";
  EXPECT_FALSE(engine.extractionReady());
  // The engine knows it is not set up: a dataset is refused before anything reaches OpenGL.
  const std::string refused = captureStderr([&] { EXPECT_FALSE(engine.loadDataset(QStringLiteral("gone.vx"))); });
  EXPECT_NE(refused.find("cannot be opened before OpenGL is initialised"), std::string::npos) << refused;

  // The quit was asked for before the loop ran; the loop ends with it (0), not with the fallback.
  QTimer fallback;
  fallback.setSingleShot(true);
  QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(3); });
  fallback.start(10000);
  EXPECT_EQ(QCoreApplication::exec(), 0) << "the quit never reached the event loop";
}
