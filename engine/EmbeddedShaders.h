// GLSL sources kept as files in engine/shaders and compiled into the program at build time.
#pragma once

namespace shaders {
// Marching tetrahedra of the compute back end; prefix "#version 430" and one of "#define EDGE_PASS"
// (the shared vertices), nothing (the indexed assembly) or "#define FLAT_NORMALS" (whole vertices).
extern const char* const marchingCompute;
} // namespace shaders
