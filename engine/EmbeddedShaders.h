// GLSL sources kept as files in engine/shaders and compiled into the program at build time.
#pragma once

namespace shaders {
// Marching tetrahedra of the compute back end; prefix "#version 430" and, for flat normals,
// "#define FLAT_NORMALS".
extern const char* const marchingCompute;
} // namespace shaders
