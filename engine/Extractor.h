// The interface of an extraction back end: it takes the dataset's chunks in the form it needs,
// extracts the spans the selection gives at an isovalue (telling the profiler's hook after each
// part), and hands out what it wrote for drawing, for the depth sort of transparent drawing and
// for read-back. Everything needs the engine's context current.
#pragma once

#include "Dataset.h"
#include "ExtractionTypes.h"

#include <cstddef>
#include <functional>
#include <vector>

struct PrimitiveRecord;

using PartHook = std::function<void(ExtractionPart)>;

class Extractor {
public:
  virtual ~Extractor() = default;

  virtual ExtractionBackend kind() const = 0;
  // How the dataset uploads the chunks for this back end, for a dataset read whole or with its
  // chunks read on demand.
  virtual Dataset::Upload chunkUpload(bool onDemand) = 0;
  // The dataset dropped its chunks: so does the back end.
  virtual void clearChunks() = 0;

  virtual void extract(const Dataset& dataset, const std::vector<ChunkSpan>& spans, float iso, bool flatNormals,
                       const PartHook& partDone) = 0;
  // Draws the surface the last extraction wrote for these spans: positions as the vertex array,
  // normals as texture coordinates of unit 0.
  virtual void draw(const std::vector<ChunkSpan>& spans) const = 0;
  // Appends one record per primitive of the last extraction (its position for the depth sort) from
  // the shared memory pool; stops when the pool is full.
  virtual void collectPrimitives(const std::vector<ChunkSpan>& spans, std::vector<PrimitiveRecord*>& out) = 0;
  // Draws the primitive a record of collectPrimitives names.
  virtual void drawPrimitive(const PrimitiveRecord& record) const = 0;

  // Graphics memory of the back end's chunk data and outputs.
  virtual std::size_t graphicsBytes() const = 0;
  // Graphics memory the outputs will hold once these spans are extracted (what they hold now, and
  // what they grow by); it counts against the budget of chunks resident on demand.
  virtual std::size_t outputBytesFor(const std::vector<ChunkSpan>& spans) const = 0;
  // Makes the outputs these spans will need ahead of their extraction (the engine calls it while
  // their chunks are read on other threads). Nothing by default.
  virtual void prepareOutputs(const std::vector<ChunkSpan>& spans) { (void)spans; }
  // Gives back every OpenGL object.
  virtual void release() = 0;
};
