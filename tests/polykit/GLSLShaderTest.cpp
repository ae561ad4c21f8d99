// Shader programs on a real context: the order of compile and link with their messages and info
// logs, reloading, uniforms by name, loading from files, and a program that really renders.
#include "PolykitGLTest.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <type_traits>

namespace {

using ShaderTest = PolykitGL;

constexpr const char* kColourFragment =
    "uniform vec4 colour;\n"
    "void main() { gl_FragColor = colour; }\n";
constexpr const char* kBrokenSource = "void main() { this is not glsl }\n";

static_assert(!std::is_copy_constructible<GLSLShader>::value && !std::is_copy_assignable<GLSLShader>::value,
              "a program has one owner");

} // namespace

TEST_F(ShaderTest, VertexFailureStopsBeforeTheFragmentShader) {
  GLSLShader s;
  std::string out;
  const std::string err = captureStderr([&] {
    out = captureStdout([&] { EXPECT_FALSE(s.loadFromString(kBrokenSource, kColourFragment)); });
  });
  EXPECT_EQ(err, pk::errorText("error compiling vertex shader"));
  EXPECT_EQ(out.rfind("info log(", 0), 0u) << out; // the compiler's complaint, on standard output
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(s.program(), 0u);
  EXPECT_EQ(s.vertexCompiled(), 0);
  ASSERT_NE(s.fragmentShader(), 0u);
  GLint fragmentCompiled = -1;
  glGetObjectParameterivARB(s.fragmentShader(), GL_OBJECT_COMPILE_STATUS_ARB, &fragmentCompiled);
  EXPECT_EQ(fragmentCompiled, 0); // a valid source that was never compiled
  EXPECT_FALSE(s.bind());
  EXPECT_FALSE(s.isValid());
}

TEST_F(ShaderTest, FragmentAndLinkFailures) {
  GLSLShader s;
  std::string err = captureStderr([&] {
    captureStdout([&] { EXPECT_FALSE(s.loadFromString(kPassVertexShader, kBrokenSource)); });
  });
  EXPECT_EQ(err, pk::errorText("error compiling fragment shader"));
  EXPECT_NE(s.vertexCompiled(), 0);
  EXPECT_EQ(s.program(), 0u);

  // A fragment shader without main compiles but cannot link.
  err = captureStderr([&] {
    captureStdout([&] { EXPECT_FALSE(s.loadFromString(kPassVertexShader, "uniform vec4 c;\n")); });
  });
  EXPECT_EQ(err, pk::errorText("cannot link shaders to program object"));
  EXPECT_NE(s.program(), 0u); // kept until the next load or destroy
  EXPECT_EQ(s.linked(), 0);
  EXPECT_FALSE(s.bind());
  const GLhandleARB failed = s.program();
  EXPECT_TRUE(s.destroy());
  EXPECT_FALSE(glIsProgram(failed));
  EXPECT_EQ(s.program(), 0u);
  EXPECT_TRUE(s.destroy());
}

TEST_F(ShaderTest, ReloadingDeletesTheFirstProgramAndItsShaders) {
  GLSLShader s;
  std::string out = captureStdout([&] { ASSERT_TRUE(s.loadFromString(kPassVertexShader, kColourFragment)); });
  EXPECT_EQ(out, ""); // an empty info log prints nothing
  const GLhandleARB program = s.program(), vertex = s.vertexShader(), fragment = s.fragmentShader();
  EXPECT_TRUE(glIsProgram(program));
  ASSERT_TRUE(s.loadFromString(kPassVertexShader, kColourFragment));
  EXPECT_NE(s.program(), program);
  EXPECT_FALSE(glIsProgram(program));
  EXPECT_FALSE(glIsShader(vertex));
  EXPECT_FALSE(glIsShader(fragment));
  EXPECT_TRUE(glIsProgram(s.program()));

  GLSLShader moved(std::move(s));
  EXPECT_EQ(s.program(), 0u);
  EXPECT_FALSE(s.bind());
  EXPECT_TRUE(moved.bind());
  EXPECT_TRUE(moved.unbind());
}

TEST_F(ShaderTest, UniformsByNameAndOneErrorPerUnknownName) {
  GLSLShader s;
  ASSERT_TRUE(s.loadFromString(kPassVertexShader,
                               "uniform int i; uniform float f; uniform vec2 v2; uniform vec3 v3; uniform vec4 v4;\n"
                               "void main() { gl_FragColor = vec4(float(i) + f, v2.x + v3.y, v2.y + v3.z, v4.w + v3.x); }\n"));
  ASSERT_TRUE(s.bind());
  s.setUniform1i("i", 3);
  s.setUniform1f("f", 0.5f);
  s.setUniform2f("v2", 1, 2);
  s.setUniform3f("v3", 3, 4, 5);
  s.setUniform4f("v4", 6, 7, 8, 9);
  GLint i = 0;
  glGetUniformivARB(s.program(), s.getUniformLocation("i"), &i);
  EXPECT_EQ(i, 3);
  GLfloat v[4] = {};
  glGetUniformfvARB(s.program(), s.getUniformLocation("f"), v);
  EXPECT_EQ(v[0], 0.5f);
  glGetUniformfvARB(s.program(), s.getUniformLocation("v3"), v);
  EXPECT_EQ(std::vector<GLfloat>(v, v + 3), (std::vector<GLfloat>{3, 4, 5}));
  glGetUniformfvARB(s.program(), s.getUniformLocation("v4"), v);
  EXPECT_EQ(std::vector<GLfloat>(v, v + 4), (std::vector<GLfloat>{6, 7, 8, 9}));

  const std::string err = captureStderr([&] {
    s.setUniform1f("nope", 1);
    s.setUniform4f("nope", 1, 2, 3, 4);
    EXPECT_EQ(s.getUniformLocation("gone"), -1);
  });
  EXPECT_EQ(err, pk::errorText("No such uniform name \"nope\"") + pk::errorText("No such uniform name \"nope\"") +
                     pk::errorText("No such uniform name \"gone\""));
  EXPECT_TRUE(s.unbind());
  EXPECT_EQ(getInteger(GL_CURRENT_PROGRAM), 0);

  GLSLShader never; // unbind works in every state
  glUseProgramObjectARB(s.program());
  EXPECT_TRUE(never.unbind());
  EXPECT_EQ(getInteger(GL_CURRENT_PROGRAM), 0);
  EXPECT_TRUE(never.create());
}

TEST_F(ShaderTest, LoadFromFilesAddsNewlinesAndNamesTheMissingFile) {
  char tmpl[] = "/tmp/vorex_glslXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, vertex = dir + "/pass.vert", fragment = dir + "/colour.frag";
  // No newline at the end, and a line comment that would swallow the rest without one.
  std::ofstream(vertex) << "// pass through\nvoid main() { gl_Position = gl_Vertex; } // end";
  std::ofstream(fragment) << "uniform vec4 colour; // the colour\nvoid main() { gl_FragColor = colour; }";
  GLSLShader s;
  EXPECT_TRUE(s.loadFromFile(vertex.c_str(), fragment.c_str()));
  EXPECT_TRUE(s.bind());
  EXPECT_TRUE(s.unbind());

  const std::string missing = dir + "/missing.frag";
  std::string err = captureStderr([&] { EXPECT_FALSE(s.loadFromFile(vertex.c_str(), missing.c_str())); });
  EXPECT_EQ(err, pk::errorText("Unable to open fragment shader " + missing));
  err = captureStderr([&] { EXPECT_FALSE(s.loadFromFile(missing.c_str(), missing.c_str())); });
  EXPECT_EQ(err, pk::errorText("Unable to open vertex shader " + missing));
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST_F(ShaderTest, LinkedProgramRendersItsColourIntoAFramebuffer) {
  GLSLShader s;
  ASSERT_TRUE(s.loadFromString(kPassVertexShader, kColourFragment));
  ColourTarget target(8, 4);
  ASSERT_TRUE(s.bind());
  s.setUniform4f("colour", 0.2f, 0.4f, 0.6f, 0.8f);
  EXPECT_TRUE(allPixelsAre(target.draw(), {51, 102, 153, 204}));
  EXPECT_TRUE(s.unbind());
}
