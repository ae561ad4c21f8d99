#include "GLSLShader.h"

#include "PkDiag.h"

#include <cassert>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Writes the driver's info log of a shader or program object to standard output, unless it holds
// no text beyond the terminating NUL.
void printInfoLog(GLhandleARB object) {
  GLint length = 0;
  glGetObjectParameterivARB(object, GL_OBJECT_INFO_LOG_LENGTH_ARB, &length);
  if (length < 2) return;
  std::vector<GLcharARB> log(static_cast<std::size_t>(length) + 1, 0);
  GLsizei written = 0;
  glGetInfoLogARB(object, length, &written, log.data());
  std::cout << "info log(" << length << "): " << log.data() << std::endl;
}

bool readLines(std::ifstream& in, std::string& text) {
  std::string line;
  while (std::getline(in, line)) {
    text += line;
    text += '\n';
  }
  return !in.bad();
}

} // namespace

GLSLShader::~GLSLShader() { GLSLShader::destroy(); }

GLSLShader::GLSLShader(GLSLShader&& other) noexcept
    : GLObject(std::move(other)),
      program_(other.program_),
      vertexShader_(other.vertexShader_),
      fragmentShader_(other.fragmentShader_),
      vertexCompiled_(other.vertexCompiled_),
      fragmentCompiled_(other.fragmentCompiled_),
      linked_(other.linked_) {
  other.forget();
}

GLSLShader& GLSLShader::operator=(GLSLShader&& other) noexcept {
  if (this == &other) return *this;
  GLSLShader::destroy();
  GLObject::operator=(std::move(other));
  program_ = other.program_;
  vertexShader_ = other.vertexShader_;
  fragmentShader_ = other.fragmentShader_;
  vertexCompiled_ = other.vertexCompiled_;
  fragmentCompiled_ = other.fragmentCompiled_;
  linked_ = other.linked_;
  other.forget();
  return *this;
}

void GLSLShader::forget() {
  program_ = 0;
  vertexShader_ = 0;
  fragmentShader_ = 0;
  vertexCompiled_ = 0;
  fragmentCompiled_ = 0;
  linked_ = 0;
}

// Deletes the program and both shader objects; a shader still attached to a program that is being
// deleted goes with it.
bool GLSLShader::destroy() {
  if (program_) glDeleteObjectARB(program_);
  if (vertexShader_) glDeleteObjectARB(vertexShader_);
  if (fragmentShader_) glDeleteObjectARB(fragmentShader_);
  forget();
  return true;
}

bool GLSLShader::bind() {
  if (!linked_) return false;
  glUseProgramObjectARB(program_);
  return true;
}

bool GLSLShader::unbind() {
  glUseProgramObjectARB(0);
  return true;
}

PkBool GLSLShader::loadFromFile(const char* vertexFile, const char* fragmentFile) {
  assert(vertexFile && fragmentFile);
  std::ifstream vertexIn(vertexFile);
  std::ifstream fragmentIn(fragmentFile);
  if (!vertexIn) {
    pk::error(std::string("Unable to open vertex shader ") + vertexFile);
    return false;
  }
  if (!fragmentIn) {
    pk::error(std::string("Unable to open fragment shader ") + fragmentFile);
    return false;
  }
  std::string vertexSource, fragmentSource;
  if (!readLines(vertexIn, vertexSource)) {
    pk::error(std::string("Unable to read vertex shader ") + vertexFile);
    return false;
  }
  if (!readLines(fragmentIn, fragmentSource)) {
    pk::error(std::string("Unable to read fragment shader ") + fragmentFile);
    return false;
  }
  return loadFromString(vertexSource.c_str(), fragmentSource.c_str());
}

PkBool GLSLShader::loadFromString(const char* vertexSource, const char* fragmentSource) {
  assert(vertexSource && fragmentSource);
  if (program_ || vertexShader_ || fragmentShader_) destroy();
  assert(!program_);

  vertexShader_ = glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB);
  fragmentShader_ = glCreateShaderObjectARB(GL_FRAGMENT_SHADER_ARB);
  glShaderSourceARB(vertexShader_, 1, &vertexSource, nullptr);
  glShaderSourceARB(fragmentShader_, 1, &fragmentSource, nullptr);

  glCompileShaderARB(vertexShader_);
  glGetObjectParameterivARB(vertexShader_, GL_OBJECT_COMPILE_STATUS_ARB, &vertexCompiled_);
  printInfoLog(vertexShader_);
  if (!vertexCompiled_) {
    pk::error("error compiling vertex shader");
    return false;
  }

  glCompileShaderARB(fragmentShader_);
  glGetObjectParameterivARB(fragmentShader_, GL_OBJECT_COMPILE_STATUS_ARB, &fragmentCompiled_);
  printInfoLog(fragmentShader_);
  if (!fragmentCompiled_) {
    pk::error("error compiling fragment shader");
    return false;
  }

  program_ = glCreateProgramObjectARB();
  glAttachObjectARB(program_, vertexShader_);
  glAttachObjectARB(program_, fragmentShader_);
  glLinkProgramARB(program_);
  glGetObjectParameterivARB(program_, GL_OBJECT_LINK_STATUS_ARB, &linked_);
  printInfoLog(program_);
  if (!linked_) {
    pk::error("cannot link shaders to program object");
    return false;
  }
  return true;
}

GLint GLSLShader::getUniformLocation(const char* name) {
  const GLint location = glGetUniformLocationARB(program_, name);
  if (location == -1) pk::error(std::string("No such uniform name \"") + name + "\"");
  return location;
}

void GLSLShader::setUniform1i(const char* name, GLint v) { glUniform1iARB(getUniformLocation(name), v); }

void GLSLShader::setUniform1f(const char* name, GLfloat v) { glUniform1fARB(getUniformLocation(name), v); }

void GLSLShader::setUniform2f(const char* name, GLfloat x, GLfloat y) {
  glUniform2fARB(getUniformLocation(name), x, y);
}

void GLSLShader::setUniform3f(const char* name, GLfloat x, GLfloat y, GLfloat z) {
  glUniform3fARB(getUniformLocation(name), x, y, z);
}

void GLSLShader::setUniform4f(const char* name, GLfloat x, GLfloat y, GLfloat z, GLfloat w) {
  glUniform4fARB(getUniformLocation(name), x, y, z, w);
}
