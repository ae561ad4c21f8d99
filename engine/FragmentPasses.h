// The fragment-pass back end: per active chunk, four full-screen passes restricted to the chunk's
// span of rows (interpolation of the edges, triangle assembly, vertex and normal gathers) into
// buffer-backed output targets, which the surface is drawn from as quads. It owns the render
// target, the three pass textures, the four pass programs and the output buffers; these come from
// a pool that grows on demand and are held only by the chunks of the last extraction.
#pragma once

#include "Extractor.h"
#include "GLSLShader.h"
#include "GLTexture.h"

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

struct ChunkData;
class GLBufferObject;
class GLRenderToTexture;

class FragmentPassExtractor : public Extractor {
public:
  // renderTargetMode: 0 framebuffer objects preferred, 1 pbuffers; rectTextures asks for rectangle
  // textures and programs with the ARB float format.
  FragmentPassExtractor(int textureWidth, int textureHeight, int renderTargetMode, bool rectTextures);
  ~FragmentPassExtractor() override;

  // Makes the render target, the pass textures and the programs. False, after a message saying why
  // isosurfaces cannot be extracted, when the passes cannot run.
  bool initialize();
  bool ready() const { return ready_; }

  ExtractionBackend kind() const override { return ExtractionBackend::FragmentPasses; }
  Dataset::Upload chunkUpload(bool onDemand) override;
  void clearChunks() override;
  void extract(const Dataset& dataset, const std::vector<ChunkSpan>& spans, float iso, bool flatNormals,
               const PartHook& partDone) override;
  void draw(const std::vector<ChunkSpan>& spans) const override;
  void collectPrimitives(const std::vector<ChunkSpan>& spans, std::vector<PrimitiveRecord*>& out) override;
  void drawPrimitive(const PrimitiveRecord& record) const override;
  std::size_t graphicsBytes() const override;
  std::size_t outputBytesFor(const std::vector<ChunkSpan>& spans) const override;
  void release() override;

  // The four passes over one chunk's span into its output targets (taken from the pool if the
  // chunk holds none).
  void extractSpan(const Dataset& dataset, const ChunkSpan& span, float iso, bool flatNormals,
                   const PartHook& partDone);
  // W·H·4 floats of output target `target` of chunk k (0, 1 positions of halves 0 and 1; 2, 3 their
  // normals), bottom window row first: read from the render target, or from the buffer the surface
  // is drawn from (glGetBufferSubData, the capture untouched). Zeros for a chunk without outputs.
  // Only the window rows of the chunk's last span are that extraction's; the others hold whatever
  // an earlier one left there, and are neither drawn nor read by the view.
  std::vector<float> readBackOutput(int k, int target);
  std::vector<float> readOutputBuffer(int k, int target) const;
  // The right half's edge rows [first, end) that the interpolation of chunk k covers when the
  // passes run over tetrahedron rows [rowFirst, rowEnd): those the rows' tetrahedra use, or every
  // edge row (below rowCount1) of a chunk whose tetrahedron map was not seen.
  std::pair<int, int> interpolatedEdgeRows(int k, int rowCount1, int rowFirst, int rowEnd) const;
  // Chunks holding output targets now, and sets in the pool (held or free).
  int chunksWithOutputs() const;
  int outputSets() const { return int(allSets_.size()); }

  GLRenderToTexture* renderTarget() const { return renderTarget_.get(); }
  GLTexture* interpVerticesTex = nullptr;
  GLTexture* interpGradientsTex = nullptr;
  GLTexture* indicesTex = nullptr;
  GLenum floatTextureFormat = 0;
  int useRectTextures = 0;
  GLSLShader interpolateProgram, triangleProgram, vertexGatherProgram, normalGatherProgram;

private:
  using OutputSet = std::array<GLBufferObject*, 4>;
  void createRenderTargets();
  bool createPrograms();
  GLTexture* createPassTexture(int width);
  // The output set of chunk k, from the free list or made new; null when none can be made.
  const OutputSet* outputsFor(int k);
  const OutputSet* heldOutputs(int k) const;
  // Puts the sets of chunks that are not in `spans` back on the free list.
  void recycleOutputs(const std::vector<ChunkSpan>& spans);
  void drawQuads(const OutputSet& set, int half, int first, int count) const;
  float rowY(int row) const { return 1.0f - float(2 * row) / float(height_); }
  // Notes, for each tetrahedron row of chunk k, the right half's edge rows its tetrahedra use.
  void noteEdgeRows(int k, const ChunkData& data);

  const int width_, height_;
  const int requestedMode_;
  const bool requestedRect_;
  bool ready_ = false;
  std::unique_ptr<GLRenderToTexture> renderTarget_;
  // The pass textures in framebuffer mode; in pbuffer mode the render target's pbuffers hold them.
  std::vector<std::unique_ptr<GLTexture>> ownedPassTextures_;
  std::vector<OutputSet> allSets_;     // every set made, until clearChunks
  std::vector<OutputSet> freeSets_;    // made and not held by a chunk
  std::vector<OutputSet> chunkSets_;   // by chunk index; nulls where the chunk holds none
  // By chunk index, one entry per tetrahedron row: the edge rows [first, end) of the right half
  // that its tetrahedra use, as first | end << 16 (0: none). Empty for a chunk not noted: the
  // interpolation then runs over every edge row.
  std::vector<std::vector<std::uint32_t>> edgeRows_;
};
