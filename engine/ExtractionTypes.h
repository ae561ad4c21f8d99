// What an extraction works on and reports, shared by the engine and its back ends: the spans of
// active chunks, the parts of an extraction for the profiler, the timing and the back-end choice.
#pragma once

#include <string>
#include <vector>

// One chunk an extraction ran over, with its span of data rows [rowMin, rowEnd) (rowEnd ≤ rowMin
// when no row holds the isovalue; then nothing of it is drawn).
struct ChunkSpan {
  int chunk = 0;
  int rowMin = 0;
  int rowEnd = 0;
  bool drawn() const { return rowEnd > rowMin; }
};

// Timing of the last extraction and what it touched (for the benchmark and the status line).
struct ExtractionStats {
  double seconds = 0;          // stopwatch, glFinish included
  int activeChunks = 0;
  long long processedRows = 0; // tetrahedron rows run through the passes
  long long processedTets = 0; // tetrahedron slots in those rows
  int throughput = 0;          // the figure reported through extractPerf (Mtets / sec)
  int chunksRead = 0;          // chunks made resident for it (chunks on demand)
  double readSeconds = 0;      // and the time that took
  std::vector<ChunkSpan> spans; // the active chunks in the order they were processed
};

// The parts of an extraction, for timing them one by one. Marching is the compute back end's whole
// pass (interpolation, assembly and gathers in one).
// Residency is the reading and uploading of chunks made resident on demand.
enum class ExtractionPart { Queries, Setup, Interpolation, Assembly, VertexGather, NormalGather, Copies, Marching, Residency };

// How the surface is extracted: the four fragment-program passes into buffer-backed targets per
// chunk, or one compute pass over the candidate tetrahedra appending to a vertex buffer.
enum class ExtractionBackend { Automatic, FragmentPasses, Compute };

// "auto", "fragment", "compute"; parseBackend accepts those words and nothing else.
const char* backendName(ExtractionBackend backend);
bool parseBackend(const std::string& word, ExtractionBackend& out);
