// vxbench's extracted surfaces against VTK on datasets of many chunks: the builder's code makes the
// dataset and the prepared mesh it was made from; vxbench runs as a process and exports one
// isovalue's surface as PLY; vtkContourGrid contours the same prepared mesh (float positions, the
// normalised field). Compared: the triangle count (a quad counts as two), the total area, and every
// exported normal against the direction of the field's gradient, interpolated by vtkContourGrid to
// the same surface point from two estimates per vertex: the volume-weighted mean of the cells'
// gradients (the viewer's definition, computed here) and vtkGradientFilter's unweighted one.
//
// The back ends vxbench is run with: the comma-separated list in the environment variable
// VX_ORACLE_BACKENDS, else the list VX_ORACLE_BACKENDS given at compile time, else "default";
// "default" runs vxbench without --backend.
#include "datasetbuild/Builder.h"
#include "meshimport/Progress.h"
#include "meshimport/VtkGrid.h"
#include "TriangleArea.h"
#include "VxbenchPly.h"

#include <QProcess>
#include <QTemporaryDir>

#include <vtkCellArray.h>
#include <vtkContourGrid.h>
#include <vtkDataArray.h>
#include <vtkDoubleArray.h>
#include <vtkFloatArray.h>
#include <vtkGradientFilter.h>
#include <vtkIdTypeArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>
#include <vtkStaticPointLocator.h>
#include <vtkUnstructuredGrid.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifndef VX_ORACLE_BACKENDS
#define VX_ORACLE_BACKENDS "default"
#endif

namespace {

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  std::string part;
  while (std::getline(s, part, ','))
    if (!part.empty()) out.push_back(part);
  return out;
}

std::vector<std::string> backends() {
  const char* env = std::getenv("VX_ORACLE_BACKENDS");
  std::vector<std::string> list = splitList(env && *env ? env : VX_ORACLE_BACKENDS);
  if (list.empty()) list.push_back("default");
  return list;
}

struct OracleSet {
  const char* name;
  const char* synthetic;
  const char* function; // field function, or "" for the dataset's own field
};

// The demo dataset at about half its size (384 000 tetrahedra in some thirty chunks, surfaces
// through a few of them), and a mesh with an inner boundary under a field that folds across the
// whole model, so that most chunks are active at every mid isovalue.
const OracleSet kSets[] = {
    {"blobs", "blobs:40", ""},
    {"shell_folded", "shell:36", "folded"},
};

struct Dataset {
  std::string path; // the .vx file
  std::size_t chunks = 0;
  std::vector<float> values;                  // the normalised field, per vertex
  vtkSmartPointer<vtkUnstructuredGrid> grid;  // the prepared mesh with "value" and "gradient"
  double diagonal = 0;
};

QTemporaryDir& scratch() {
  static QTemporaryDir dir;
  return dir;
}

vtkSmartPointer<vtkUnstructuredGrid> gridOf(const vxb::PreparedMesh& mesh) {
  vtkSmartPointer<vtkUnstructuredGrid> grid = vxb::vtkGridOf(mesh);

  // The volume-weighted mean of the gradients of the tetrahedra around each vertex.
  std::vector<double> sum(3 * mesh.vertexCount(), 0.0), weight(mesh.vertexCount(), 0.0);
  for (std::size_t t = 0; t < mesh.tetCount(); ++t) {
    const uint32_t* q = &mesh.tets[4 * t];
    double e[3][3], d[3];
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) e[r][c] = double(mesh.positions[3 * q[r + 1] + c]) - mesh.positions[3 * q[0] + c];
      d[r] = double(mesh.values[q[r + 1]]) - mesh.values[q[0]];
    }
    // Solves e g = d by Cramer's rule.
    auto det = [](const double m[3][3]) {
      return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
             m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double full = det(e);
    if (full == 0) continue;
    for (int c = 0; c < 3; ++c) {
      double m[3][3];
      for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) m[r][k] = k == c ? d[r] : e[r][k];
      const double g = det(m) / full;
      for (int k = 0; k < 4; ++k) sum[3 * q[k] + std::size_t(c)] += g * std::fabs(full);
    }
    for (int k = 0; k < 4; ++k) weight[q[k]] += std::fabs(full);
  }
  vtkNew<vtkDoubleArray> weighted;
  weighted->SetName("weightedGradient");
  weighted->SetNumberOfComponents(3);
  weighted->SetNumberOfTuples(vtkIdType(mesh.vertexCount()));
  for (std::size_t v = 0; v < mesh.vertexCount(); ++v)
    for (int c = 0; c < 3; ++c)
      weighted->SetComponent(vtkIdType(v), c, weight[v] > 0 ? sum[3 * v + std::size_t(c)] / weight[v] : 0.0);
  grid->GetPointData()->AddArray(weighted);

  vtkNew<vtkGradientFilter> gradient;
  gradient->SetInputData(grid);
  gradient->SetInputScalars(vtkDataObject::FIELD_ASSOCIATION_POINTS, "value");
  gradient->SetResultArrayName("gradient");
  gradient->Update();
  auto out = vtkSmartPointer<vtkUnstructuredGrid>::New();
  out->ShallowCopy(gradient->GetOutput());
  return out;
}

// Made once per process: the builder's own steps, as vxbuild runs them.
const Dataset* dataset(const OracleSet& set) {
  static std::map<std::string, std::unique_ptr<Dataset>> made;
  auto found = made.find(set.name);
  if (found != made.end()) return found->second.get();
  std::unique_ptr<Dataset>& d = made[set.name];
  if (!scratch().isValid()) return nullptr;
  vxb::BuildOptions options;
  options.synthetic = set.synthetic;
  options.fieldFunction = set.function;
  options.output = scratch().filePath(QString::fromUtf8(set.name) + ".vx").toStdString();
  options.quiet = true;
  vxb::TetMesh mesh;
  std::string source;
  if (!vxb::loadInput(options, mesh, source)) return nullptr;
  vxb::BuildResult result;
  vxb::Progress progress(true);
  if (!vxb::buildDataset(mesh, options, result, progress)) return nullptr;
  d = std::make_unique<Dataset>();
  d->path = options.output;
  d->chunks = result.layout.chunks.size();
  d->values = result.prepared.values;
  d->grid = gridOf(result.prepared);
  double dx = 0;
  for (int c = 0; c < 3; ++c)
    dx += double(result.prepared.boxMax[c] - result.prepared.boxMin[c]) * (result.prepared.boxMax[c] - result.prepared.boxMin[c]);
  d->diagonal = std::sqrt(dx);
  return d.get();
}

struct VtkSurface {
  std::size_t triangles = 0;
  double area = 0;
  vtkSmartPointer<vtkPolyData> poly;
};

VtkSurface contour(vtkUnstructuredGrid* grid, float iso) {
  vtkNew<vtkContourGrid> filter;
  filter->SetInputData(grid);
  filter->SetInputArrayToProcess(0, 0, 0, vtkDataObject::FIELD_ASSOCIATION_POINTS, "value");
  filter->SetValue(0, double(iso));
  filter->ComputeScalarsOff();
  filter->Update();
  VtkSurface s;
  s.poly = filter->GetOutput();
  vtkCellArray* polys = s.poly->GetPolys();
  vtkIdType n;
  const vtkIdType* ids;
  for (polys->InitTraversal(); polys->GetNextCell(n, ids);) {
    if (n != 3) continue;
    double a[3], b[3], c[3];
    s.poly->GetPoint(ids[0], a);
    s.poly->GetPoint(ids[1], b);
    s.poly->GetPoint(ids[2], c);
    s.area += triangleArea(a, b, c);
    ++s.triangles;
  }
  return s;
}

struct NormalStats {
  std::size_t vertices = 0, unmatched = 0, flat = 0, compared = 0, within1 = 0, within5 = 0, within15 = 0;
  double worst = 0; // degrees
};

// The exported surface's triangles (quads as two) whose corners do not all differ: two of them at
// the same point, as where the isovalue equals a vertex's value.
std::size_t collapsedTriangles(const TestPly& ply) {
  auto same = [&](int a, int b) {
    const float* p = &ply.vertices[6 * std::size_t(a)];
    const float* q = &ply.vertices[6 * std::size_t(b)];
    return a == b || (p[0] == q[0] && p[1] == q[1] && p[2] == q[2]);
  };
  auto collapsed = [&](int a, int b, int c) { return same(a, b) || same(b, c) || same(a, c); };
  std::size_t n = 0;
  for (const auto& f : ply.faces) {
    if (f.size() >= 3) n += collapsed(f[0], f[1], f[2]);
    if (f.size() == 4) n += collapsed(f[0], f[2], f[3]);
  }
  return n;
}

// What moving every corner by one float step of the model's largest coordinate can change the
// area by: the sum of the perimeters times that step. It matters only for the minute surfaces at
// the clamp limits, whose triangles are a few float steps across.
double areaRounding(const TestPly& ply) {
  float largest = 0;
  for (std::size_t v = 0; v < ply.vertices.size() / 6; ++v)
    for (int c = 0; c < 3; ++c) largest = std::max(largest, std::fabs(ply.vertices[6 * v + std::size_t(c)]));
  const double step = double(std::nextafter(largest, 2 * largest + 1) - largest);
  double perimeter = 0;
  auto edge = [&](int a, int b) {
    const float* p = &ply.vertices[6 * std::size_t(a)];
    const float* q = &ply.vertices[6 * std::size_t(b)];
    return std::sqrt(double(p[0] - q[0]) * (p[0] - q[0]) + double(p[1] - q[1]) * (p[1] - q[1]) +
                     double(p[2] - q[2]) * (p[2] - q[2]));
  };
  for (const auto& f : ply.faces)
    for (std::size_t i = 0; i < f.size(); ++i) perimeter += edge(f[i], f[(i + 1) % f.size()]);
  return perimeter * step;
}

// Each exported vertex against a gradient that VTK interpolates at the same point of its surface
// (the point array `array`). The exported normals point along the gradient, towards higher values.
// Where that gradient is shorter than `flat` times its median length over the grid (near a saddle of
// the field, where the direction of an estimate of the gradient is uncertain) the vertex is counted
// as flat and not compared.
NormalStats compareNormals(const TestPly& ply, vtkPolyData* theirs, const char* array, double flatShare,
                           double diagonal) {
  NormalStats s;
  s.vertices = ply.vertices.size() / 6;
  vtkDataArray* gradient = theirs->GetPointData()->GetArray(array);
  if (!gradient || theirs->GetNumberOfPoints() == 0) {
    s.unmatched = s.vertices;
    return s;
  }
  vtkNew<vtkStaticPointLocator> locator;
  locator->SetDataSet(theirs);
  locator->BuildLocator();
  const double reach = 1e-5 * diagonal;
  std::vector<double> lengths(std::size_t(gradient->GetNumberOfTuples()));
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    double g[3];
    gradient->GetTuple(vtkIdType(i), g);
    lengths[i] = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
  }
  std::vector<double> sorted = lengths;
  std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(sorted.size() / 2), sorted.end());
  const double flat = flatShare * sorted[sorted.size() / 2];
  for (std::size_t v = 0; v < s.vertices; ++v) {
    const float* p = &ply.vertices[6 * v];
    const double x[3] = {p[0], p[1], p[2]};
    double dist2 = 0;
    const vtkIdType id = locator->FindClosestPointWithinRadius(reach, x, dist2);
    if (id < 0) {
      ++s.unmatched;
      continue;
    }
    double g[3];
    gradient->GetTuple(id, g);
    const double gl = lengths[std::size_t(id)];
    const double nl = std::sqrt(double(p[3]) * p[3] + double(p[4]) * p[4] + double(p[5]) * p[5]);
    if (!(gl > flat)) {
      ++s.flat;
      continue;
    }
    const double c = nl > 0 ? (g[0] * p[3] + g[1] * p[4] + g[2] * p[5]) / (gl * nl) : -1.0;
    const double degrees = std::acos(std::max(-1.0, std::min(1.0, c))) * 180.0 / 3.14159265358979323846;
    ++s.compared;
    s.within1 += degrees <= 1;
    s.within5 += degrees <= 5;
    s.within15 += degrees <= 15;
    s.worst = std::max(s.worst, degrees);
  }
  return s;
}

struct ProcessRun {
  int status = -1;
  std::string out;
};

ProcessRun vxbench(const QStringList& args) {
  QProcess p;
  p.setWorkingDirectory(scratch().path());
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(VXBENCH_EXE, args);
  ProcessRun r;
  const bool finished = p.waitForFinished(300000);
  r.out = QString::fromUtf8(p.readAll()).toStdString();
  if (!finished || p.exitStatus() != QProcess::NormalExit) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.status = p.exitCode();
  return r;
}

std::string isoText(float iso) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", double(iso));
  return text;
}

class EngineVtkOracle : public ::testing::TestWithParam<std::tuple<int, std::string>> {};

} // namespace

TEST_P(EngineVtkOracle, SurfacesMatchVtkContourGrid) {
  const OracleSet& set = kSets[std::get<0>(GetParam())];
  const std::string backend = std::get<1>(GetParam());
  const Dataset* d = dataset(set);
  ASSERT_TRUE(d) << "the builder failed on " << set.name;
  ASSERT_GE(d->chunks, 8u) << "the dataset should span many chunks";

  // The lowest and highest isovalue the engine takes, a vertex's own value, and mid values.
  float vertexValue = 0.5f;
  for (float v : d->values)
    if (v > 0.4f && v < 0.6f && v != 0.5f) {
      vertexValue = v;
      break;
    }
  const std::vector<float> isovalues = {1.1920929e-07f, 0.25f, vertexValue, 0.5f, 0.73f, 0.99999988f};
  for (float iso : isovalues) {
    // At the clamp limits the surface is a minute sphere around the vertex of the lowest or highest
    // value, and the gradient there, an average over cells that slope every way, has no direction
    // worth comparing.
    const bool clampLimit = iso == isovalues.front() || iso == isovalues.back();
    SCOPED_TRACE("isovalue " + isoText(iso) + ", back end " + backend);
    const QString ply = QStringLiteral("%1-%2.ply").arg(set.name).arg(QString::fromStdString(isoText(iso)));
    QStringList args = {QString::fromStdString(d->path), "--iso", QString::fromStdString(isoText(iso)),
                        "--repeat", "1", "--export-ply", ply};
    if (backend != "default") args << "--backend" << QString::fromStdString(backend);
    const ProcessRun r = vxbench(args);
    ASSERT_EQ(r.status, 0) << r.out;
    TestPly ours;
    ASSERT_TRUE(readTestPly(scratch().filePath(ply).toStdString(), ours)) << r.out;
    const std::size_t ourTriangles = ours.facesWith(3) + 2 * ours.facesWith(4);
    ASSERT_EQ(ours.faces.size(), ours.facesWith(3) + ours.facesWith(4));

    const VtkSurface theirs = contour(d->grid, iso);
    ASSERT_GT(theirs.triangles, 0u);
    // VTK leaves out the triangles that collapse where the isovalue equals a vertex's value.
    const std::size_t collapsed = collapsedTriangles(ours);
    EXPECT_EQ(ourTriangles - collapsed, theirs.triangles) << collapsed << " collapsed";
    if (iso != vertexValue) {
      EXPECT_EQ(collapsed, 0u);
    }
    EXPECT_NEAR(ours.area(), theirs.area, 1e-4 * theirs.area + areaRounding(ours));

    const NormalStats n = compareNormals(ours, theirs.poly, "weightedGradient", 1e-3, d->diagonal);
    const NormalStats m = compareNormals(ours, theirs.poly, "gradient", 0.2, d->diagonal);
    std::printf("  %s %s iso %s: %zu+%zu faces (%zu triangles, %zu collapsed), VTK %zu; area %.9g, VTK %.9g\n"
                "    normals of %zu vertices against the weighted mean: %zu compared (%zu flat), worst %.3f deg;"
                " against vtkGradientFilter: %zu compared (%zu flat), %zu within 5 deg, %zu within 15, worst %.1f\n",
                set.name, backend.c_str(), isoText(iso).c_str(), ours.facesWith(3), ours.facesWith(4), ourTriangles,
                collapsed, theirs.triangles, ours.area(), theirs.area, n.vertices, n.compared, n.flat, n.worst,
                m.compared, m.flat, m.within5, m.within15, m.worst);
    EXPECT_EQ(n.unmatched, 0u) << "exported vertices not on VTK's surface (within 1e-5 of the model's diagonal)";
    // The normals are the gradients of the volume-weighted mean of the cells' gradients around each
    // vertex, interpolated along the crossed edge: every one within a degree of that, computed here.
    EXPECT_EQ(n.within1, n.compared) << "worst normal " << n.worst << " degrees off the weighted mean gradient";
    EXPECT_LE(n.flat, n.vertices / 100);
    if (clampLimit) continue;
    // vtkGradientFilter averages the cells' gradients without weights: most normals within 5 degrees
    // of its direction, nearly all within 15, where its gradient is not small.
    EXPECT_GE(double(m.within5), 0.95 * double(m.compared)) << "normals more than 5 degrees off VTK's gradient";
    EXPECT_GE(double(m.within15), 0.99 * double(m.compared)) << "normals more than 15 degrees off VTK's gradient";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Datasets, EngineVtkOracle,
    ::testing::Combine(::testing::Range(0, int(sizeof kSets / sizeof kSets[0])), ::testing::ValuesIn(backends())),
    [](const ::testing::TestParamInfo<EngineVtkOracle::ParamType>& info) {
      std::string name = std::string(kSets[std::get<0>(info.param)].name) + "_" + std::get<1>(info.param);
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });
