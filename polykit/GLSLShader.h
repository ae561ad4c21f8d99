// A GLSL program of one vertex and one fragment shader, built through the ARB shader-object entry
// points: loaded from files or strings, made current with bind(), uniforms set by name.
#pragma once

#include "GLObject.h"
#include "PkTypes.h"

class GLSLShader : public GLObject {
public:
  GLSLShader() = default;
  ~GLSLShader() override;
  GLSLShader(GLSLShader&& other) noexcept;
  GLSLShader& operator=(GLSLShader&& other) noexcept;

  // Does nothing: loading creates the OpenGL objects.
  bool create() override { return true; }
  // Deletes the program and shader objects of the last load (if any); always true.
  bool destroy() override;
  // Makes the program current; false without any OpenGL call unless it linked.
  bool bind() override;
  // Makes no program current; true in every state.
  bool unbind() override;

  // Reads both files (a newline after every line) and builds the program from them.
  PkBool loadFromFile(const char* vertexFile, const char* fragmentFile);
  // Compiles the vertex shader, then (only if it compiled) the fragment shader, then links.
  // Info logs go to standard output; failures to standard error with a false result.
  PkBool loadFromString(const char* vertexSource, const char* fragmentSource);

  // Location of a uniform of the program; -1 with the error "No such uniform name "<name>"".
  GLint getUniformLocation(const char* name);
  // Setters on the current program (bind() first); the location is looked up on every call.
  void setUniform1i(const char* name, GLint v);
  void setUniform1f(const char* name, GLfloat v);
  void setUniform2f(const char* name, GLfloat x, GLfloat y);
  void setUniform3f(const char* name, GLfloat x, GLfloat y, GLfloat z);
  void setUniform4f(const char* name, GLfloat x, GLfloat y, GLfloat z, GLfloat w);

  GLhandleARB program() const { return program_; }
  GLhandleARB vertexShader() const { return vertexShader_; }
  GLhandleARB fragmentShader() const { return fragmentShader_; }
  GLint vertexCompiled() const { return vertexCompiled_; }
  GLint fragmentCompiled() const { return fragmentCompiled_; }
  GLint linked() const { return linked_; }

private:
  void forget();

  GLhandleARB program_ = 0;
  GLhandleARB vertexShader_ = 0;
  GLhandleARB fragmentShader_ = 0;
  GLint vertexCompiled_ = 0;
  GLint fragmentCompiled_ = 0;
  GLint linked_ = 0;
};
