#include "PolykitGL.h"

#include <GL/glxew.h>

namespace pk {

bool initGlew(std::string* error) {
  glewExperimental = GL_TRUE;
  const GLenum code = glewInit();
  // glewInit may leave an error behind from its own queries; it is not the caller's.
  while (glGetError() != GL_NO_ERROR) {
  }
  if (code != GLEW_OK && error)
    *error = reinterpret_cast<const char*>(glewGetErrorString(code));
  return code == GLEW_OK;
}

bool hasCurrentContext() { return glXGetCurrentContext() != nullptr; }

bool hasGLXPbuffers() { return GLXEW_SGIX_pbuffer && GLXEW_SGIX_fbconfig; }

} // namespace pk
