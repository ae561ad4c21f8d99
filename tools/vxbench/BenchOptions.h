// The command line of vxbench, parsed without a display so that usage errors and --help work
// anywhere.
#pragma once

#include <string>
#include <vector>

namespace vxbench {

struct BenchOptions {
  std::string dataset;           // DATASET.vx (the cache is DATASET.vx.cache), or a mesh to build first
  std::string field;             // --field NAME: the mesh's field (default: its first)
  std::vector<float> isovalues;  // --iso, in the order given; empty: the default list
  int repeat = 5;                // timed extractions per isovalue (after one untimed warm-up)
  int renderTargetMode = 0;      // --mode fbo (0) | pbuffer (1)
  bool rectTextures = false;     // --rect
  std::string backend = "auto";  // --backend auto | fragment | compute
  bool flat = false;             // --flat
  bool check = false;            // --check
  bool json = false;             // --json
  bool profile = false;          // --profile: pass-by-pass timing with glFinish between passes
  bool noPixelBuffers = false;   // --no-pbo: read buffer targets back through host memory
  std::string plyPath;           // --export-ply FILE
  int reopen = 0;                // --reopen N: open, extract and close the dataset N times first
  bool onDemand = false;         // --on-demand: chunks resident on demand (also with the next two)
  long long gpuBudgetMB = 0;     // --gpu-budget MB: graphics memory of resident chunks (0: default)
  bool sweep = false;            // --sweep: the isovalue from 0 to 1 in steps of 0.01 first
  bool portable = false;         // --portable: the compute pass without 64-bit writes and ballots

  // --render FILE and the frame's settings
  std::string renderPath;
  int shadingMode = 0;           // --mode-shading 0 | 1 | 2
  float opacity = 1.0f;          // --opacity O, in [0, 1]
  bool multi = false;            // --multi
  int width = 512, height = 512; // --size WxH
  float rotation[3] = {0, 0, 0}; // --rotate X,Y,Z (degrees)
  float distance = 0.0f;         // --distance D: camera moved back along its direction

  bool rendering() const { return !renderPath.empty(); }
};

// Isovalues measured when --iso is not given.
const std::vector<float>& defaultIsovalues();

// Fills options from argv. Returns -1 to go on, or the exit status to end with at once: 0 after
// --help, 2 after a usage error (its message and the usage text are printed on standard error).
int parseCommandLine(int argc, char** argv, BenchOptions& options);

const char* usageText();

// Parsers of the option values, exposed for the tests. They accept only the whole text.
bool parseFloatList(const std::string& text, std::vector<float>& out); // "0.3,0.5": finite floats
bool parseSize(const std::string& text, int& width, int& height);      // "640x480", 1 … 8192 each
bool parseTriple(const std::string& text, float out[3]);               // "10,-20,0": finite floats

} // namespace vxbench
