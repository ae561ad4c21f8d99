#include "GLTestContext.h"
#include "PolykitGL.h"

unsigned takeGLError() {
  GLenum first = GL_NO_ERROR;
  for (GLenum e = glGetError(); e != GL_NO_ERROR; e = glGetError())
    if (first == GL_NO_ERROR) first = e;
  return first;
}
