// GLSL sources of the engine's six programs, stored in the program. The four pass programs come in
// a variant that samples 2D textures with normalised coordinates and one that samples rectangle
// textures with texel coordinates.
#pragma once

namespace shaders {

extern const char* const fullScreenVertex;

struct PassSet {
  const char* interpolation;
  const char* triangleAssembly;
  const char* vertexGather;
  const char* normalGather;
};
extern const PassSet pass2D;
extern const PassSet passRect;

extern const char* const surfaceVertex;
extern const char* const surfaceFragment;
extern const char* const glassVertex;
extern const char* const glassFragment;

} // namespace shaders
