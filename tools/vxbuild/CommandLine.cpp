#include "CommandLine.h"

#include "meshimport/FieldFunctions.h"
#include "meshimport/MeshReaders.h"
#include "PkDiag.h"
#include "meshimport/TextScanner.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <string>

namespace vxb {

const char* usageText() {
  return "usage: vxbuild INPUT -o OUT.vx [--field NAME] [--component K | --magnitude] [--keep-origin]\n"
         "                     [--time T] [--block NAME]... [--texture out.tex] [--verify] [--quiet]\n"
         "       vxbuild --synthetic NAME[:N] -o OUT.vx [options]\n"
         "       vxbuild --texture out.tex\n"
         "\n"
         "Writes OUT.vx (geometry) and OUT.vx.cache (extraction cache) for the Vorex viewer.\n"
         "  INPUT               .vtk or .vtu unstructured grid, TetGen .node/.ele, Gmsh .msh (2.2 or 4.1 ASCII);\n"
         "                      through VTK: .pvtu, .pvd, Exodus II .exo/.e/.g, OpenFOAM controlDict or .foam,\n"
         "                      CGNS .cgns, EnSight .case, Fluent .cas (with its .dat)\n"
         "  --synthetic NAME[:N] demo dataset instead of INPUT: blobs, marschner-lobb, shell (about 6*N^3 cells)\n"
         "  -o OUT.vx           output geometry file; the cache is written beside it as OUT.vx.cache\n"
         "  --field NAME        point field to use (default: the first one)\n"
         "  --component K       use component K of a vector field\n"
         "  --magnitude         use the length of a vector field\n"
         "  --field-function F  an analytic field on the mesh instead: smooth (distance from a point) or\n"
         "                      folded (a product of sines, three periods across the box per axis)\n"
         "  --time T            time step to read (default: the first; the summary lists them)\n"
         "  --block NAME        read only this block (repeat it or give a comma-separated list)\n"
         "  --keep-origin       keep the input coordinates (default: centre the bounding box at the origin)\n"
         "  --texture PATH      also write the 256^3 3D texture for the \"3D Texture\" mode\n"
         "  --verify            read the cache back and check its surfaces against the mesh\n"
         "  --quiet             no progress and no summary\n"
         "  --ordering NAME     tetrahedron order across chunks: max (default), min, mid, morton\n"
         "  --no-row-order      keep that order inside chunks instead of choosing a row order per chunk\n"
         "  --compare-orderings print what every ordering would cost before building\n";
}

int parseCommandLine(int argc, char** argv, BuildOptions& options) {
  auto usage = [](const std::string& message) {
    pk::error(message);
    std::cerr << usageText();
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      std::cout << usageText();
      return 0;
    } else if (a == "-o" || a == "--output") {
      if (!value(options.output)) return usage("-o needs a file name");
    } else if (a == "--synthetic") {
      if (!value(options.synthetic)) return usage("--synthetic needs a dataset name");
    } else if (a == "--field") {
      if (!value(options.field.name) || options.field.name.empty()) return usage("--field needs a field name");
    } else if (a == "--component") {
      int64_t k;
      if (!value(v) || !TextScanner::toInt(v, k) || k < 0 || k > 1000) return usage("--component needs a number (0, 1, ...)");
      options.field.component = int(k);
    } else if (a == "--field-function") {
      if (!value(options.fieldFunction) || !isFieldFunction(options.fieldFunction)) return usage("--field-function needs smooth or folded");
    } else if (a == "--magnitude") {
      options.field.magnitude = true;
    } else if (a == "--time") {
      if (!value(v) || !TextScanner::toDouble(v, options.read.time) || !std::isfinite(options.read.time))
        return usage("--time needs a number");
      options.read.haveTime = true;
    } else if (a == "--block") {
      if (!value(v)) return usage("--block needs a block name");
      for (size_t start = 0; start <= v.size();) {
        const size_t comma = std::min(v.find(',', start), v.size());
        const std::string name = v.substr(start, comma - start);
        if (name.empty()) return usage("--block needs block names, separated by commas");
        options.read.blocks.push_back(name);
        start = comma + 1;
      }
    } else if (a == "--keep-origin") {
      options.keepOrigin = true;
    } else if (a == "--texture") {
      if (!value(options.texture) || options.texture.empty()) return usage("--texture needs a file name");
    } else if (a == "--verify") {
      options.verify = true;
    } else if (a == "--quiet") {
      options.quiet = true;
    } else if (a == "--ordering") {
      if (!value(v) || !parseOrdering(v, options.layout.ordering)) return usage("--ordering needs one of max, min, mid, morton");
    } else if (a == "--no-row-order") {
      options.layout.rowReorder = false;
    } else if (a == "--compare-orderings") {
      options.compareOrderings = true;
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else if (options.input.empty()) {
      options.input = a;
    } else {
      return usage("more than one input file: " + options.input + " and " + a);
    }
  }
  const bool building = !options.input.empty() || !options.synthetic.empty();
  if (!options.input.empty() && !options.synthetic.empty()) return usage("give either an input file or --synthetic, not both");
  if (!building && options.texture.empty()) return usage("nothing to do: give an input file, --synthetic or --texture");
  if (building && options.output.empty()) return usage("-o OUT.vx is required");
  if (!building && !options.output.empty()) return usage("-o needs an input file or --synthetic");
  if (options.field.component >= 0 && options.field.magnitude) return usage("--component and --magnitude exclude each other");
  if (building && options.output.size() < 3) return usage("bad output name " + options.output);
  if (building && options.output.compare(options.output.size() - 3, 3, ".vx") != 0)
    pk::warning("the output " + options.output + " does not end in .vx; the viewer's open dialog shows only .vx files");
  if (!options.fieldFunction.empty() && (!options.field.name.empty() || options.field.component >= 0 || options.field.magnitude))
    return usage("--field-function excludes --field, --component and --magnitude");
  if (!options.synthetic.empty() && (!options.field.name.empty() || options.field.component >= 0 || options.field.magnitude))
    return usage("--field, --component and --magnitude apply to input files only");
  if (!options.synthetic.empty() && (options.read.haveTime || !options.read.blocks.empty()))
    return usage("--time and --block apply to input files only");
  return -1;
}

} // namespace vxb
