// The builder's steps from an input to the two dataset files, and the command as a whole.
#pragma once

#include "datasetbuild/Boundary.h"
#include "datasetbuild/ChunkLayout.h"
#include "meshimport/Mesh.h"
#include "meshimport/MeshPrep.h"
#include "meshimport/MeshReaders.h"

#include <string>
#include <vector>

namespace vxb {

class Progress;

struct BuildOptions {
  std::string input;     // mesh file; empty when synthetic is set
  std::string synthetic; // "NAME" or "NAME:N"
  std::string output;    // OUT.vx (the cache is OUT.vx.cache)
  std::string texture;   // out.tex to write, or empty
  FieldChoice field;
  std::string fieldFunction; // an analytic field (FieldFunctions.h) instead of the mesh's own
  ReadOptions read;      // --time, --block
  bool keepOrigin = false;
  bool verify = false;
  bool quiet = false;
  bool compareOrderings = false; // print the cost of every ordering before building
  LayoutOptions layout;
};

// Reads the input file or makes the synthetic dataset. `source` describes it for the summary.
bool loadInput(const BuildOptions& options, TetMesh& mesh, std::string& source);

struct BuildResult {
  std::string fieldLabel;
  std::string fieldName; // the chosen field's name as the input gives it
  PreparedMesh prepared;
  Layout layout;
  BoundaryLists boundary;
  size_t geometryBytes = 0, cacheBytes = 0;
  size_t blocks = 0, compressedBlocks = 0;
};

// Everything after reading: field choice, preparation, layout, boundary, both files and OUT.vx.field
// beside them (written under temporary names, checked with --verify, then renamed). False after an
// error line; no file is left under the output names then.
bool buildDataset(const TetMesh& mesh, const BuildOptions& options, BuildResult& result, Progress& progress);

// The text of OUT.vx.field: "name=", then "component=" or "magnitude=yes" when the field was
// reduced, then "min=" and "max=" of its input range, one per line. Line breaks and other control
// characters in the name become spaces.
std::string fieldFileText(const std::string& name, const FieldChoice& choice, double min, double max);

// Checks the cache written at cachePath against marching tetrahedra on the prepared mesh at
// isovalues 0.1 … 0.9: equal triangle counts and areas within 1e-4 relative. Prints a line per
// isovalue to `report` (when not null) and an error for the first mismatch.
bool verifyCache(const std::string& cachePath, const PreparedMesh& mesh, std::string* report);

// The whole command: returns the process's exit status.
int runVxbuild(const BuildOptions& options);

} // namespace vxb
