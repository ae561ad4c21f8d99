// What vxbench measured, and the two ways it prints it: a readable table and JSON. Plain C++.
#pragma once

#include "SurfaceSoup.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace vxbench {

// Milliseconds spent in each part of an extraction, measured with glFinish between the parts.
struct PassTimes {
  double trees = 0;         // chunk and row interval-tree queries (host)
  double setup = 0;         // state save and restore, begin and end of the capture
  double interpolation = 0; // both interpolation runs
  double assembly = 0;      // triangle assembly
  double vertexGather = 0;  // both halves
  double normalGather = 0;  // both halves
  double copies = 0;        // the four copies of buffer targets into their buffer objects
  double marching = 0;      // the compute back end's pass (all of the above in one)
  double residency = 0;     // reading and uploading chunks made resident on demand
  double total = 0;         // the whole profiled extraction, glFinish included
  PassTimes& operator+=(const PassTimes& o);
};

struct IsoResult {
  float iso = 0;
  bool extracted = false;      // false: the extraction stopped (its error was printed)
  int activeChunks = 0;
  long long processedRows = 0; // tetrahedron rows run through the passes
  long long processedTets = 0; // tetrahedron slots in those rows
  PrimitiveCount crossing;     // crossing primitives in the drawn row spans
  double medianSeconds = 0;    // median over the repeats, glFinish included
  double minSeconds = 0;
  int viewerThroughput = 0;    // Mtets/s as the viewer plots it (whole dataset, truncated)
  double throughput = 0;       // the same, not truncated
  double processedThroughput = 0; // processed tetrahedron slots (2^20) per second
  double readBackSeconds = 0;  // reading the active chunks' position targets back for the count
  bool checked = false;        // --check ran
  bool checkPassed = false;
  bool profiled = false;
  PassTimes passes;            // medians over the repeats (--profile)
};

struct DatasetReport {
  std::string path;
  std::uint32_t tetrahedra = 0;
  std::size_t chunks = 0;
  std::uint64_t geometryBytes = 0, cacheBytes = 0;
  double loadSeconds = 0;
  bool onDemand = false;       // chunks resident on demand: loadSeconds is the open
  double firstFrameSeconds = 0; // from the start of the open to the first frame drawn
  std::size_t budgetBytes = 0;
  std::size_t graphicsBytes = 0;
  std::string renderer;        // GL_RENDERER and GL_VERSION
  std::string targetMode;      // "framebuffer objects" or "pbuffers" (the fragment passes), or "no render target"
  std::string backend;         // "fragment" or "compute"
  bool subgroups = false;      // compute: 64-bit writes and one atomic per subgroup
  bool rectTextures = false;
  bool flat = false;
  bool pixelBuffers = true;    // buffer targets read back through pixel-pack buffers
  int repeat = 0;
  std::vector<IsoResult> results;
  std::string plyPath;         // the PLY file written, if any, and what it holds
  PrimitiveCount plyCount;

  double loadMBps() const;
  double bytesPerTet() const;
};

// Mtets/s by the viewer's formula: totalTets · 2^-20 (rounded to a float) / seconds (a float);
// a zero time counts as one microsecond.
double viewerRate(std::uint32_t totalTets, double seconds);

void printTable(std::ostream& out, const DatasetReport& report);
void printJson(std::ostream& out, const DatasetReport& report);

// The shortest decimal text of an isovalue that reads back as the same float ("0.1", "1.1920929e-07").
std::string isoText(float iso);

// JSON string literal of text (quotes and escapes included).
std::string jsonString(const std::string& text);

} // namespace vxbench
