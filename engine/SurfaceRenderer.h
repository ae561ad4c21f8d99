// The drawing of a frame's parts: the boundary surfaces and their vertices, the model box, the
// glass mode's backdrop, and the isosurface in its three shading modes, opaque as the back end
// wrote it or transparent after a depth sort of its primitives. It owns the two surface programs,
// the shading textures and the sort records. Everything needs the engine's context current.
#pragma once

#include "ExtractionTypes.h"
#include "GLSLShader.h"
#include "GLTexture.h"

#include <QString>

#include <vector>

class Dataset;
class Extractor;
class QImage;
struct CacheBox;
struct PrimitiveRecord;

class SurfaceRenderer {
public:
  SurfaceRenderer() = default;
  ~SurfaceRenderer();
  SurfaceRenderer(const SurfaceRenderer&) = delete;
  SurfaceRenderer& operator=(const SurfaceRenderer&) = delete;

  // Compiles the surface and glass programs ("unable to load shaders" when they fail) and makes the
  // 3D texture ("out.tex" from the current directory; zeros where it is missing or short) and the
  // glass maps.
  bool initialize(float opacity);
  void release();

  // The uniforms that map the model box onto the unit cube.
  void setModelBox(const CacheBox& box);
  // The picture behind the glass (a file Qt reads; a missing one leaves the texture as it was).
  void setBackdropImage(const QString& path);

  void drawBoundaries(const Dataset& dataset) const;
  void drawVertices(const Dataset& dataset) const;
  void drawBox(const CacheBox& box) const;
  void drawBackdrop();

  struct Shading {
    int mode = 0;          // 0 shaded, 1 3D texture, 2 glass
    bool wireframe = false;
    float opacity = 1.0f;  // below 1: primitives sorted and blended
  };
  // The isosurface at iso as the extractor wrote it for spans.
  void drawSurface(const Extractor* extractor, const std::vector<ChunkSpan>& spans, float iso, const Shading& shading);
  // Sorts the records nearest first by their distance from the eye (the modelview's inverse
  // applied to the origin).
  void depthSortPrimitives();
  void releasePrimitives();

  GLSLShader surfaceShader, glassProgram;
  GLTexture3D licTex;
  GLTexture2D envMapTex, refractionTex;
  std::vector<PrimitiveRecord*> primitives;

private:
  void uploadImageMipmaps(const QImage& image);
};
