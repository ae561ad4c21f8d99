#include "datasetbuild/Builder.h"

#include "CacheFile.h"
#include "datasetbuild/CacheStream.h"
#include "ChunkTextureSize.h"
#include "datasetbuild/ChunkTextures.h"
#include "DatasetWriter.h"
#include "meshimport/FieldFunctions.h"
#include "GeometryFile.h"
#include "datasetbuild/MarchingTets.h"
#include "meshimport/MeshReaders.h"
#include "datasetbuild/OutputFiles.h"
#include "PkDiag.h"
#include "meshimport/Progress.h"
#include "ReferenceExtractor.h"
#include "meshimport/Synthetic.h"
#include "datasetbuild/TextureVolume.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace vxb {

namespace {

constexpr int kTextureWidth = kChunkTextureSide;
constexpr int kTextureHeight = kChunkTextureSide;

std::vector<float> summaryIsovalues() {
  std::vector<float> v;
  for (int i = 1; i <= 9; ++i) v.push_back(float(i) / 10.0f);
  return v;
}

std::string percent(double x) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(1) << 100.0 * x << '%';
  return s.str();
}

// Layout figures shared by the summary and the ordering comparison.
struct LayoutFigures {
  size_t storedEdges = 0, storedVertices = 0;
  double edgesPerTet = 0;
  double meanActive = 0, meanRatio = 0; // over the isovalues 0.2 … 0.8
  double meanFragments = 0;              // fragments the passes shade, per extraction
  int maxActive = 0;
  double maxRatio = 0;
  double meanAlpha = 0;
};

LayoutFigures figures(const PreparedMesh& mesh, const Layout& layout, const std::vector<IsoCost>& costs) {
  LayoutFigures f;
  for (const ChunkPlan& c : layout.chunks) {
    f.storedEdges += c.edges.size();
    f.storedVertices += c.vertices.size();
    f.meanAlpha += c.alpha;
  }
  if (!layout.chunks.empty()) f.meanAlpha /= double(layout.chunks.size());
  f.edgesPerTet = mesh.tetCount() ? double(f.storedEdges) / double(mesh.tetCount()) : 0.0;
  int n = 0;
  for (const IsoCost& c : costs) {
    if (c.iso < 0.15f || c.iso > 0.85f) continue;
    ++n;
    f.meanActive += c.activeChunks;
    f.maxActive = std::max(f.maxActive, c.activeChunks);
    f.meanRatio += c.ratio();
    f.maxRatio = std::max(f.maxRatio, c.ratio());
    f.meanFragments += double(c.fragments());
  }
  if (n) {
    f.meanActive /= n;
    f.meanRatio /= n;
    f.meanFragments /= n;
  }
  return f;
}

void printOrderingComparison(const PreparedMesh& mesh, Progress& progress) {
  struct Variant {
    Ordering ordering;
    bool rows;
  };
  const Variant variants[] = {{Ordering::MaxValue, true}, {Ordering::MaxValue, false}, {Ordering::MinValue, true},
                              {Ordering::MidValue, true}, {Ordering::Morton, true}};
  std::ostringstream out;
  out << "ordering comparison (isovalues 0.2 … 0.8; processed = tetrahedron slots in the processed rows;\n"
         "fragments = 2 x interpolated edges + 11 x processed slots, what the four passes shade):\n"
      << "  ordering        rows       chunks  edges/tet  active chunks (mean, max)  processed/crossing (mean, max)"
         "  fragments (millions)\n";
  for (const Variant& v : variants) {
    LayoutOptions o;
    o.ordering = v.ordering;
    o.rowReorder = v.rows;
    Layout layout;
    buildLayout(mesh, o, layout, &progress);
    progress.end();
    const LayoutFigures f = figures(mesh, layout, evaluateLayout(mesh, layout, summaryIsovalues()));
    out << "  " << std::left << std::setw(16) << orderingName(v.ordering) << std::setw(11)
        << (v.rows ? "chosen" : "global") << std::right << std::setw(6) << layout.chunks.size() << std::fixed
        << std::setprecision(2) << std::setw(11) << f.edgesPerTet << std::setw(16) << f.meanActive << std::setw(6)
        << f.maxActive << std::setw(22) << f.meanRatio << std::setw(8) << f.maxRatio << std::setw(16)
        << f.meanFragments * 1e-6 << '\n';
  }
  std::cout << out.str() << std::flush;
}

size_t fileSize(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::fclose(f);
  return n > 0 ? size_t(n) : 0;
}

} // namespace

bool loadInput(const BuildOptions& options, TetMesh& mesh, std::string& source) {
  if (!options.synthetic.empty()) {
    std::string name;
    int n = 0;
    if (!parseSynthetic(options.synthetic, name, n)) return false;
    if (!makeSynthetic(name, n, mesh)) return false;
    source = "synthetic " + name + ":" + std::to_string(n);
    return true;
  }
  source = options.input;
  return readMesh(options.input, mesh, options.read);
}

std::string fieldFileText(const std::string& name, const FieldChoice& choice, double min, double max) {
  std::string clean = name;
  for (char& c : clean)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  std::ostringstream s;
  s << "name=" << clean << '\n';
  if (choice.component >= 0) s << "component=" << choice.component << '\n';
  if (choice.magnitude) s << "magnitude=yes\n";
  // The shortest text that reads back as the same double.
  auto exact = [](double x) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, x).ptr;
    return std::string(text, end);
  };
  s << "min=" << exact(min) << "\nmax=" << exact(max) << '\n';
  return s.str();
}

bool verifyCache(const std::string& cachePath, const PreparedMesh& mesh, std::string* report) {
  CacheData cache;
  if (!parseCacheFile(cachePath, kTextureWidth, kTextureHeight, cache)) {
    pk::ErrorLine() << "verification failed: the written cache cannot be read back";
    return false;
  }
  std::ostringstream text;
  bool ok = true;
  for (float iso : summaryIsovalues()) {
    ReferenceSurface surface;
    if (!referenceSurface(cache, iso, surface)) {
      pk::ErrorLine() << "verification failed at isovalue " << iso << ": a chunk has more rows than the texture";
      return false;
    }
    const MarchingResult direct = marchingTets(mesh, iso);
    const double rel = direct.area > 0 ? std::fabs(surface.area - direct.area) / direct.area : std::fabs(surface.area);
    text << "  verify " << std::fixed << std::setprecision(1) << iso << ": " << surface.triangleCount()
         << " triangles, area " << std::setprecision(6) << surface.area << " (mesh: " << direct.triangles
         << ", " << direct.area << ", difference " << std::scientific << std::setprecision(2) << rel << ")\n";
    if (ok && (surface.triangleCount() != direct.triangles || rel > 1e-4)) {
      pk::ErrorLine() << "verification failed at isovalue " << iso << ": the cache gives " << surface.triangleCount()
                      << " triangles of area " << surface.area << ", the mesh " << direct.triangles
                      << " triangles of area " << direct.area;
      ok = false;
    }
  }
  if (report) *report = text.str();
  return ok;
}

bool buildDataset(const TetMesh& mesh, const BuildOptions& options, BuildResult& result, Progress& progress) {
  std::vector<double> scalar;
  if (!(options.fieldFunction.empty() ? selectField(mesh, options.field, scalar, result.fieldLabel)
                                      : evaluateFieldFunction(options.fieldFunction, mesh, scalar, result.fieldLabel)))
    return false;
  result.fieldName = !options.fieldFunction.empty() ? options.fieldFunction
                     : options.field.name.empty()     ? mesh.fields.front().name
                                                      : options.field.name;
  {
    // Fail before the long work when the output cannot be written at all.
    PendingFiles probe;
    const std::string temporary = probe.add(options.output);
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
      pk::ErrorLine() << "cannot write file " << options.output;
      return false;
    }
    std::fclose(f);
  }
  // A listener that asked to stop: give up here, between the steps (the pending files go away).
  auto stopped = [&] {
    if (progress.cancelled()) pk::error("the build of " + options.output + " was cancelled");
    return progress.cancelled();
  };
  progress.begin("checking and preparing the mesh");
  if (stopped()) return false;
  if (!prepareMesh(mesh, scalar, options.keepOrigin, result.prepared)) return false;
  scalar.clear();
  scalar.shrink_to_fit();
  const PreparedMesh& prepared = result.prepared;

  if (options.compareOrderings) printOrderingComparison(prepared, progress);
  buildLayout(prepared, options.layout, result.layout, &progress);

  progress.begin("finding the boundary");
  if (stopped()) return false;
  extractBoundary(prepared.positions, prepared.tets, prepared.boundaryFaces, result.boundary);

  PendingFiles pending;
  const std::string fieldTemp = pending.add(options.output + ".field");
  const std::string cachePath = options.output + ".cache";
  const std::string cacheTemp = pending.add(cachePath);
  const std::string geometryTemp = pending.add(options.output);

  CacheStreamResult written;
  if (!streamCache(prepared, result.layout, cacheTemp, progress, written)) {
    stopped();
    return false;
  }
  result.blocks = written.blocks;
  result.compressedBlocks = written.compressedBlocks;

  progress.begin("writing the geometry");
  if (stopped()) return false;
  GeometryData geometry;
  geometry.vertices.resize(prepared.vertexCount());
  for (size_t v = 0; v < prepared.vertexCount(); ++v)
    geometry.vertices[v] = PkVec3f(prepared.positions[3 * v], prepared.positions[3 * v + 1], prepared.positions[3 * v + 2]);
  geometry.triangles[0] = result.boundary.triangles[0];
  geometry.triangles[1] = result.boundary.triangles[1];
  if (!writeGeometryFile(geometryTemp, geometry)) return false;
  const std::string fieldText = fieldFileText(result.fieldName, options.field, prepared.dataMin, prepared.dataMax);
  {
    std::FILE* f = std::fopen(fieldTemp.c_str(), "wb");
    bool written = f != nullptr;
    if (f) {
      written = std::fwrite(fieldText.data(), 1, fieldText.size(), f) == fieldText.size();
      written = std::fclose(f) == 0 && written;
    }
    if (!written) {
      pk::ErrorLine() << "cannot write file " << options.output << ".field";
      return false;
    }
  }
  progress.end();

  if (options.verify) {
    progress.begin("verifying the cache against the mesh");
    std::string report;
    const bool ok = verifyCache(cacheTemp, prepared, &report);
    progress.end();
    if (!options.quiet) std::cout << report << std::flush;
    if (!ok) return false;
  }
  result.cacheBytes = fileSize(cacheTemp);
  result.geometryBytes = fileSize(geometryTemp);
  return pending.commit();
}

int runVxbuild(const BuildOptions& options) {
  Progress progress(options.quiet);
  if (!options.input.empty() || !options.synthetic.empty()) {
    TetMesh mesh;
    std::string source;
    progress.begin(options.synthetic.empty() ? "reading " + options.input : "making " + options.synthetic);
    if (!loadInput(options, mesh, source)) return 1;
    progress.end();
    BuildResult result;
    const size_t inputVertices = mesh.vertexCount(), inputTets = mesh.tetCount();
    const std::vector<std::string> notes = mesh.notes;
    if (!buildDataset(mesh, options, result, progress)) return 1;
    mesh = TetMesh();

    if (!options.quiet) {
      const PreparedMesh& p = result.prepared;
      const Layout& layout = result.layout;
      const std::vector<IsoCost> costs = evaluateLayout(p, layout, summaryIsovalues());
      const LayoutFigures f = figures(p, layout, costs);
      const size_t slots = size_t(kTextureWidth / 2) * kTextureHeight;
      std::ostringstream s;
      s << "vxbuild: " << source << " -> " << options.output << " and " << options.output << ".cache\n";
      for (const std::string& n : notes) s << "  note: " << n << '\n';
      if (p.degenerateTets)
        s << "  note: " << p.degenerateTets << " degenerate tetrahedra (no volume) dropped\n";
      if (p.turnedTets)
        s << "  note: " << p.turnedTets << " of " << inputTets
          << " tetrahedra were oriented against the rest and are turned around\n";
      if (p.droppedVertices) s << "  note: " << p.droppedVertices << " vertices that no tetrahedron uses were dropped\n";
      s << "  field        " << result.fieldLabel << ", range [" << p.dataMin << ", " << p.dataMax
        << "] normalised to [0, 1]\n";
      s << "  vertices     " << p.vertexCount() << " (input " << inputVertices << ")\n";
      s << "  tetrahedra   " << p.tetCount() << " (input " << inputTets << ")\n";
      s << "  edges        " << layout.edgeCount() << " in the mesh; " << f.storedEdges << " stored, "
        << std::fixed << std::setprecision(2) << f.edgesPerTet << " per tetrahedron\n";
      s << "  chunks       " << layout.chunks.size() << "; mean fill: tetrahedra "
        << percent(double(p.tetCount()) / double(std::max<size_t>(1, layout.chunks.size() * slots))) << ", edges "
        << percent(double(f.storedEdges) / double(std::max<size_t>(1, layout.chunks.size() * slots))) << ", vertices "
        << percent(double(f.storedVertices) / double(std::max<size_t>(1, layout.chunks.size() * 2 * slots))) << '\n';
      size_t blocks = 0;
      for (const ChunkPlan& c : layout.chunks) blocks += c.block > 0;
      s << "  layout       tetrahedra ordered by " << orderingName(options.layout.ordering) << " value; ";
      if (options.layout.rowReorder)
        s << "rows by min + alpha*(max - min), mean alpha " << std::setprecision(2) << f.meanAlpha << ", "
          << blocks << " chunk(s) with a block of the largest values first\n";
      else
        s << "rows in that order\n";
      s << "  boundary     list 0 (outer): " << result.boundary.triangles[0].size() / 3 << " triangles in "
        << result.boundary.components[0] << " component(s); list 1 (inner): "
        << result.boundary.triangles[1].size() / 3 << " triangles in " << result.boundary.components[1]
        << " component(s)\n";
      s << "  isovalue  active chunks (at least)  processed slots  crossing  crossing/processed\n";
      for (const IsoCost& c : costs) {
        char line[160];
        const size_t bound = size_t(std::ceil(double(c.crossing) * f.edgesPerTet / double(slots)));
        std::snprintf(line, sizeof line, "  %8.1f  %13d %10s  %15zu  %8zu  %17s", double(c.iso), c.activeChunks,
                      ("(" + std::to_string(bound) + ")").c_str(), c.processedSlots, c.crossing,
                      percent(c.processedSlots ? double(c.crossing) / double(c.processedSlots) : 0.0).c_str());
        s << line;
        if (c.emptyRowQueries) s << "  (" << c.emptyRowQueries << " chunk(s) without a matching row)";
        s << '\n';
      }
      s << "  files        " << options.output << " " << result.geometryBytes << " bytes, " << options.output
        << ".cache " << result.cacheBytes << " bytes (" << result.compressedBlocks << " of " << result.blocks
        << " blocks compressed), " << options.output << ".field (the field's name and range)\n";
      std::cout << s.str() << std::flush;
    }
  }
  if (!options.texture.empty()) {
    progress.begin("writing the 3D texture " + options.texture);
    if (!writeMarbleTexture(options.texture)) return 1;
    progress.end();
    if (!options.quiet) std::cout << "vxbuild: 3D texture " << options.texture << " (256 x 256 x 256 bytes)\n";
  }
  return 0;
}

} // namespace vxb
