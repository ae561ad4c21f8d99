// vxvtkbench: times VTK's vtkContourGrid and vtkContour3DLinearGrid (on its fast path, and with a
// vtkSpanSpace scalar tree built once beforehand) on the very mesh and field a Vorex dataset is
// built from. The input is read (or the demo mesh made) and prepared by the
// builder's own code, so the field is the normalised one the cache holds and the isovalues mean
// the same as vxbench's. Throughput uses vxbench's unit: 2^20 tetrahedra of the whole mesh per
// second.
#include "datasetbuild/Builder.h"
#include "meshimport/FieldFunctions.h"
#include "meshimport/Mesh.h"
#include "meshimport/MeshPrep.h"
#include "PkDiag.h"
#include "meshimport/VtkGrid.h"

#include <vtkCellArray.h>
#include <vtkContour3DLinearGrid.h>
#include <vtkContourGrid.h>
#include <vtkFloatArray.h>
#include <vtkIdTypeArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSMPTools.h>
#include <vtkSpanSpace.h>
#include <vtkUnstructuredGrid.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: vxvtkbench INPUT [--field NAME | --field-function smooth|folded] [--iso LIST] [--repeat N] [--json]\n"
    "       vxvtkbench --synthetic NAME[:N] [--field-function smooth|folded] [--iso LIST] [--repeat N] [--json]\n"
    "Contours the mesh vxbuild would build from the same input (and options) with vtkContourGrid,\n"
    "vtkContour3DLinearGrid (fast path, SMP) and vtkContour3DLinearGrid with a vtkSpanSpace scalar\n"
    "tree (built once, before the timing) at each isovalue of the normalised field and prints the\n"
    "median time of N runs (default 5) after a warm-up.\n";

struct Options {
  vxb::BuildOptions build;
  std::vector<float> isovalues = {0.3f, 0.4f, 0.5f, 0.6f, 0.7f};
  int repeat = 5;
  bool json = false;
};

bool parseList(const std::string& text, std::vector<float>& out) {
  std::vector<float> values;
  std::stringstream s(text);
  std::string part;
  while (std::getline(s, part, ',')) {
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(part.c_str(), &end);
    if (part.empty() || end != part.c_str() + part.size() || errno == ERANGE || !std::isfinite(v)) return false;
    values.push_back(v);
  }
  if (values.empty() || text.back() == ',') return false;
  out = values;
  return true;
}

int parse(int argc, char** argv, Options& o) {
  auto usage = [](const std::string& message) {
    pk::error("vxvtkbench: " + message);
    std::cerr << kUsage;
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--synthetic") {
      if (!hasValue) return usage("--synthetic needs a dataset name");
      o.build.synthetic = argv[++i];
    } else if (a == "--field") {
      if (!hasValue) return usage("--field needs a field name");
      o.build.field.name = argv[++i];
    } else if (a == "--field-function") {
      if (!hasValue || !vxb::isFieldFunction(argv[i + 1])) return usage("--field-function needs smooth or folded");
      o.build.fieldFunction = argv[++i];
    } else if (a == "--iso") {
      if (!hasValue || !parseList(argv[++i], o.isovalues)) return usage("--iso needs isovalues separated by commas");
    } else if (a == "--repeat") {
      char* end = nullptr;
      const long n = hasValue ? std::strtol(argv[++i], &end, 10) : 0;
      if (!hasValue || *end || n < 1 || n > 10000) return usage("--repeat needs a count from 1 to 10000");
      o.repeat = int(n);
    } else if (a == "--json") {
      o.json = true;
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else if (!o.build.input.empty()) {
      return usage("more than one input file");
    } else {
      o.build.input = a;
    }
  }
  if (o.build.input.empty() == o.build.synthetic.empty()) return usage("give either an input file or --synthetic");
  if (!o.build.fieldFunction.empty() && !o.build.field.name.empty())
    return usage("--field-function excludes --field");
  if (!o.build.synthetic.empty() && !o.build.field.name.empty()) return usage("--field applies to input files only");
  return -1;
}


double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

struct Timing {
  double seconds = 0;
  vtkIdType triangles = 0;
};

// Warm-up, then `repeat` timed runs of the filter at iso; the median time and the output's cells.
template <class Filter>
Timing timeFilter(Filter* filter, float iso, int repeat) {
  filter->SetValue(0, iso);
  filter->Update();
  std::vector<double> seconds;
  for (int r = 0; r < repeat; ++r) {
    filter->Modified();
    const auto t0 = std::chrono::steady_clock::now();
    filter->Update();
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  Timing t;
  t.seconds = median(seconds);
  vtkPolyData* output = vtkPolyData::SafeDownCast(filter->GetOutputDataObject(0));
  t.triangles = output ? output->GetNumberOfCells() : 0;
  return t;
}

std::string jsonText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

double rate(std::size_t tets, double seconds) { return double(tets) / 1048576.0 / std::max(seconds, 1e-9); }

} // namespace

int main(int argc, char** argv) {
  Options o;
  const int status = parse(argc, argv, o);
  if (status >= 0) return status;

  vxb::TetMesh mesh;
  std::string source;
  if (!vxb::loadInput(o.build, mesh, source)) return 1;
  std::vector<double> scalar;
  std::string label;
  if (!(o.build.fieldFunction.empty() ? vxb::selectField(mesh, o.build.field, scalar, label)
                                      : vxb::evaluateFieldFunction(o.build.fieldFunction, mesh, scalar, label)))
    return 1;
  vxb::PreparedMesh prepared;
  if (!vxb::prepareMesh(mesh, scalar, false, prepared)) return 1;
  mesh = vxb::TetMesh();
  vtkSmartPointer<vtkUnstructuredGrid> grid = vxb::vtkGridOf(prepared);
  const std::size_t tets = prepared.tetCount();
  const bool fastPath = vtkContour3DLinearGrid::CanFullyProcessDataObject(grid, "value");

  vtkNew<vtkContourGrid> general;
  general->SetInputData(grid);
  vtkNew<vtkContour3DLinearGrid> linear;
  linear->SetInputData(grid);
  linear->MergePointsOff();
  linear->InterpolateAttributesOff();
  linear->ComputeNormalsOff();
  linear->SequentialProcessingOff();

  // The span space is built here, outside every timing; the filter reuses it while the grid and
  // its scalars stay unmodified.
  vtkNew<vtkSpanSpace> spanSpace;
  spanSpace->SetDataSet(grid);
  spanSpace->SetScalars(grid->GetPointData()->GetScalars());
  const auto buildStart = std::chrono::steady_clock::now();
  spanSpace->BuildTree();
  const double spanBuildSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - buildStart).count();
  vtkNew<vtkContour3DLinearGrid> spanned;
  spanned->SetInputData(grid);
  spanned->MergePointsOff();
  spanned->InterpolateAttributesOff();
  spanned->ComputeNormalsOff();
  spanned->SequentialProcessingOff();
  spanned->SetScalarTree(spanSpace);
  spanned->UseScalarTreeOn();

  if (!o.json) {
    std::printf("vxvtkbench  %s: %zu tetrahedra, field %s; VTK SMP backend %s, %d threads%s; median of %d\n"
                "span space built in %.1f ms\n",
                source.c_str(), tets, label.c_str(), vtkSMPTools::GetBackend(),
                vtkSMPTools::GetEstimatedNumberOfThreads(), fastPath ? "" : " (NO fast path)", o.repeat,
                spanBuildSeconds * 1000);
    std::printf("   isovalue  vtkContourGrid ms  Mtets/s  triangles  vtkContour3DLinearGrid ms  Mtets/s  triangles"
                "  with span space ms  Mtets/s  triangles\n");
  } else {
    std::printf("{\n  \"source\": \"%s\",\n  \"tetrahedra\": %zu,\n  \"smpBackend\": \"%s\",\n  \"threads\": %d,\n"
                "  \"fastPath\": %s,\n  \"field\": \"%s\",\n  \"spanSpaceBuildSeconds\": %.9g,\n  \"repeat\": %d,\n"
                "  \"results\": [",
                jsonText(source).c_str(), tets, vtkSMPTools::GetBackend(),
                vtkSMPTools::GetEstimatedNumberOfThreads(), fastPath ? "true" : "false", jsonText(label).c_str(),
                spanBuildSeconds, o.repeat);
  }
  for (std::size_t i = 0; i < o.isovalues.size(); ++i) {
    const float iso = o.isovalues[i];
    const Timing g = timeFilter(general.Get(), iso, o.repeat);
    const Timing l = timeFilter(linear.Get(), iso, o.repeat);
    const Timing t = timeFilter(spanned.Get(), iso, o.repeat);
    if (o.json) {
      std::printf("%s\n    {\"iso\": %.9g, \"contourGridSeconds\": %.9g, \"contourGridThroughput\": %.9g, "
                  "\"contourGridTriangles\": %lld, \"linearGridSeconds\": %.9g, \"linearGridThroughput\": %.9g, "
                  "\"linearGridTriangles\": %lld, \"spanSpaceSeconds\": %.9g, \"spanSpaceThroughput\": %.9g, "
                  "\"spanSpaceTriangles\": %lld}",
                  i ? "," : "", double(iso), g.seconds, rate(tets, g.seconds), (long long)g.triangles, l.seconds,
                  rate(tets, l.seconds), (long long)l.triangles, t.seconds, rate(tets, t.seconds),
                  (long long)t.triangles);
    } else {
      std::printf("%11.9g %18.3f %8.1f %10lld %26.3f %8.1f %10lld %19.3f %8.1f %10lld\n", double(iso),
                  g.seconds * 1000, rate(tets, g.seconds), (long long)g.triangles, l.seconds * 1000,
                  rate(tets, l.seconds), (long long)l.triangles, t.seconds * 1000, rate(tets, t.seconds),
                  (long long)t.triangles);
    }
  }
  if (o.json) std::printf("\n  ]\n}\n");
  return 0;
}
