// The builder against VTK: surfaces from the written cache (through the reference extractor)
// against vtkContourGrid on the original mesh, for the synthetic datasets and for grids that VTK
// itself wrote; and the VTK readers' handling of other cells, cell data and broken files.
#include "datasetbuild/Builder.h"
#include "CacheFile.h"
#include "CaptureOutput.h"
#include "meshimport/MeshReaders.h"
#include "PkDiag.h"
#include "meshimport/Progress.h"
#include "ReferenceExtractor.h"
#include "meshimport/Synthetic.h"
#include "ToolTestSupport.h"
#include "TriangleArea.h"

#include <vtkCellArray.h>
#include <vtkCellData.h>
#include <vtkCellDataToPointData.h>
#include <vtkContourGrid.h>
#include <vtkDataSetAttributes.h>
#include <vtkDataSetTriangleFilter.h>
#include <vtkDoubleArray.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkRTAnalyticSource.h>
#include <vtkUnstructuredGrid.h>
#include <vtkUnstructuredGridWriter.h>
#include <vtkXMLUnstructuredGridReader.h>
#include <vtkXMLUnstructuredGridWriter.h>
#include <vtkMultiBlockDataSet.h>
#include <vtkEnSightWriter.h>
#include <vtkExodusIIReader.h>
#include <vtkExodusIIWriter.h>
#include <vtkFLUENTReader.h>
#include <vtkIntArray.h>
#include <vtkOpenFOAMReader.h>
#include <vtkXMLPUnstructuredGridReader.h>
#include <vtkXMLPUnstructuredGridWriter.h>

#include "vtk_cgns.h"
#include VTK_CGNS(cgnslib.h)

#include <cmath>

using namespace vxb;

namespace {

struct Surface {
  size_t triangles = 0;
  double area = 0;
};

vtkSmartPointer<vtkUnstructuredGrid> gridOf(const TetMesh& mesh) {
  auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  points->SetDataTypeToDouble();
  for (size_t v = 0; v < mesh.vertexCount(); ++v) points->InsertNextPoint(&mesh.points[3 * v]);
  grid->SetPoints(points);
  grid->Allocate(vtkIdType(mesh.tetCount()));
  for (size_t t = 0; t < mesh.tetCount(); ++t) {
    const vtkIdType ids[4] = {mesh.tets[4 * t], mesh.tets[4 * t + 1], mesh.tets[4 * t + 2], mesh.tets[4 * t + 3]};
    grid->InsertNextCell(VTK_TETRA, 4, ids);
  }
  vtkNew<vtkDoubleArray> values;
  values->SetName(mesh.fields[0].name.c_str());
  for (double v : mesh.fields[0].values) values->InsertNextValue(v);
  grid->GetPointData()->SetScalars(values);
  return grid;
}

Surface vtkSurface(vtkDataSet* grid, const char* field, double value) {
  vtkNew<vtkContourGrid> contour;
  contour->SetInputData(grid);
  contour->SetInputArrayToProcess(0, 0, 0, vtkDataObject::FIELD_ASSOCIATION_POINTS, field);
  contour->SetValue(0, value);
  contour->ComputeScalarsOff();
  contour->Update();
  vtkPolyData* poly = contour->GetOutput();
  Surface s;
  vtkCellArray* polys = poly->GetPolys();
  vtkIdType n;
  const vtkIdType* ids;
  for (polys->InitTraversal(); polys->GetNextCell(n, ids);) {
    if (n != 3) continue;
    double a[3], b[3], c[3];
    poly->GetPoint(ids[0], a);
    poly->GetPoint(ids[1], b);
    poly->GetPoint(ids[2], c);
    s.area += triangleArea(a, b, c);
    ++s.triangles;
  }
  return s;
}

// The wavelet of VTK on a box of (2n+1)^3 points, cut into tetrahedra by VTK.
vtkSmartPointer<vtkUnstructuredGrid> waveletTets(int n) {
  vtkNew<vtkRTAnalyticSource> wavelet;
  wavelet->SetWholeExtent(-n, n, -n, n, -n, n);
  vtkNew<vtkDataSetTriangleFilter> tets;
  tets->SetInputConnection(wavelet->GetOutputPort());
  tets->TetrahedraOnlyOn();
  tets->Update();
  return tets->GetOutput();
}

// Runs the command on `input` in dir, expecting success, and reads the cache back.
bool buildCommand(const ScratchDir& dir, const std::vector<std::string>& args, CacheData& cache, std::string* out = nullptr) {
  std::vector<std::string> all = args;
  all.insert(all.end(), {"-o", "out.vx", "--verify"});
  const CommandResult r = runVxbuild(all, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  if (out) *out = r.out;
  return r.status == 0 && parseCacheFile(dir.file("out.vx.cache"), 256, 256, cache);
}

// Builds the dataset of `mesh` in dir and reads its cache back.
bool buildAndRead(const TetMesh& mesh, const ScratchDir& dir, CacheData& cache) {
  BuildOptions options;
  options.output = dir.file("d.vx");
  options.quiet = true;
  BuildResult result;
  Progress progress(true);
  if (!buildDataset(mesh, options, result, progress)) return false;
  return parseCacheFile(options.output + ".cache", 256, 256, cache);
}

void compareWithVtk(const CacheData& cache, vtkDataSet* grid, const char* field,
                    const std::vector<float>& isovalues = {0.2f, 0.5f, 0.8f}) {
  const double lo = cache.header.dataMin, hi = cache.header.dataMax;
  for (float iso : isovalues) {
    SCOPED_TRACE(iso);
    ReferenceSurface ours;
    ASSERT_TRUE(referenceSurface(cache, iso, ours));
    const Surface theirs = vtkSurface(grid, field, lo + double(iso) * (hi - lo));
    ASSERT_GT(theirs.triangles, 0u);
    EXPECT_EQ(ours.triangleCount(), theirs.triangles);
    EXPECT_NEAR(ours.area, theirs.area, 1e-4 * theirs.area);
  }
}

} // namespace

TEST(AgainstVtk, SyntheticDatasets) {
  for (const char* request : {"blobs:12", "marschner-lobb:12", "shell:10"}) {
    SCOPED_TRACE(request);
    std::string name;
    int n;
    ASSERT_TRUE(parseSynthetic(request, name, n));
    TetMesh mesh;
    ASSERT_TRUE(makeSynthetic(name, n, mesh));
    ScratchDir dir;
    CacheData cache;
    ASSERT_TRUE(buildAndRead(mesh, dir, cache));
    compareWithVtk(cache, gridOf(mesh), name.c_str());
  }
}

TEST(AgainstVtk, KuhnGridWithBothOrientations) {
  // A grid of cubes, each cut into the six Kuhn tetrahedra along its main diagonal: half of them
  // come in each orientation. The builder turns half around; the surfaces stay VTK's.
  const int n = 10;
  TetMesh mesh;
  auto id = [&](int i, int j, int k) { return uint32_t((k * (n + 1) + j) * (n + 1) + i); };
  MeshField f{"f", 1, {}};
  for (int k = 0; k <= n; ++k)
    for (int j = 0; j <= n; ++j)
      for (int i = 0; i <= n; ++i) {
        const double x = i + 0.2 * std::sin(0.7 * j), y = j, z = k + 0.1 * i;
        mesh.points.insert(mesh.points.end(), {x, y, z});
        f.values.push_back(std::sin(0.4 * x) * std::cos(0.3 * y) + 0.05 * z * z);
      }
  mesh.fields.push_back(f);
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        for (const auto& p : perms) {
          int c[3] = {i, j, k};
          mesh.tets.push_back(id(c[0], c[1], c[2]));
          for (int axis : p) {
            ++c[axis];
            mesh.tets.push_back(id(c[0], c[1], c[2]));
          }
        }
  ScratchDir dir;
  BuildOptions options;
  options.output = dir.file("k.vx");
  options.quiet = true;
  BuildResult result;
  Progress progress(true);
  ASSERT_TRUE(buildDataset(mesh, options, result, progress));
  EXPECT_EQ(result.prepared.turnedTets, 3u * n * n * n);
  EXPECT_EQ(result.prepared.degenerateTets, 0u);
  EXPECT_EQ(result.prepared.tetCount(), 6u * n * n * n);
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(options.output + ".cache", 256, 256, cache));
  compareWithVtk(cache, gridOf(mesh), "f");
  std::string report;
  EXPECT_TRUE(verifyCache(options.output + ".cache", result.prepared, &report)) << report;
}

TEST(AgainstVtk, VtuWrittenByVtk) {
  // VTK's wavelet on an image, cut into tetrahedra by VTK, written as .vtu, built by the command.
  vtkNew<vtkRTAnalyticSource> wavelet;
  wavelet->SetWholeExtent(-8, 8, -8, 8, -8, 8);
  vtkNew<vtkDataSetTriangleFilter> tets;
  tets->SetInputConnection(wavelet->GetOutputPort());
  tets->TetrahedraOnlyOn();
  ScratchDir dir;
  vtkNew<vtkXMLUnstructuredGridWriter> writer;
  writer->SetInputConnection(tets->GetOutputPort());
  writer->SetFileName(dir.file("wavelet.vtu").c_str());
  ASSERT_EQ(writer->Write(), 1);
  const CommandResult r = runVxbuild({"wavelet.vtu", "-o", "w.vx", "--verify"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"RTData\""), std::string::npos) << r.out;
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(dir.file("w.vx.cache"), 256, 256, cache));
  vtkNew<vtkXMLUnstructuredGridReader> reader;
  reader->SetFileName(dir.file("wavelet.vtu").c_str());
  reader->Update();
  compareWithVtk(cache, reader->GetOutput(), "RTData");
}

TEST(AgainstVtk, LegacyHexahedraWithCellDataAreConvertedAndSplit) {
  // An unstructured grid of hexahedra with cell data only, written as legacy .vtk.
  auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  const int n = 6;
  for (int k = 0; k <= n; ++k)
    for (int j = 0; j <= n; ++j)
      for (int i = 0; i <= n; ++i) points->InsertNextPoint(i, j + 0.1 * i, k);
  grid->SetPoints(points);
  vtkNew<vtkDoubleArray> heat;
  heat->SetName("heat");
  auto id = [&](int i, int j, int k) { return vtkIdType((k * (n + 1) + j) * (n + 1) + i); };
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const vtkIdType hex[8] = {id(i, j, k), id(i + 1, j, k), id(i + 1, j + 1, k), id(i, j + 1, k),
                                  id(i, j, k + 1), id(i + 1, j, k + 1), id(i + 1, j + 1, k + 1), id(i, j + 1, k + 1)};
        grid->InsertNextCell(VTK_HEXAHEDRON, 8, hex);
        heat->InsertNextValue(std::sin(0.5 * i) + 0.3 * j * j - 0.2 * k);
      }
  grid->GetCellData()->AddArray(heat);
  ScratchDir dir;
  vtkNew<vtkUnstructuredGridWriter> writer;
  writer->SetInputData(grid);
  writer->SetFileName(dir.file("hex.vtk").c_str());
  ASSERT_EQ(writer->Write(), 1);

  TetMesh mesh;
  ASSERT_TRUE(readVtk(dir.file("hex.vtk"), mesh));
  ASSERT_EQ(mesh.notes.size(), 2u);
  EXPECT_NE(mesh.notes[0].find("cell data only"), std::string::npos);
  EXPECT_NE(mesh.notes[1].find("216 cells that are not tetrahedra split into tetrahedra by VTK"), std::string::npos);
  EXPECT_GE(mesh.tetCount(), 5u * 216);
  // The same conversion by VTK, contoured by VTK.
  vtkNew<vtkCellDataToPointData> toPoints;
  toPoints->SetInputData(grid);
  vtkNew<vtkDataSetTriangleFilter> split;
  split->SetInputConnection(toPoints->GetOutputPort());
  split->TetrahedraOnlyOn();
  split->Update();
  CacheData cache;
  ASSERT_TRUE(buildAndRead(mesh, dir, cache));
  compareWithVtk(cache, split->GetOutput(), "heat");
}

TEST(AgainstVtk, GmshHexahedraPrismsAndPyramidsBuildAsTheirVtu) {
  // A hexahedron with a pyramid on one side, a prism on top and a tetrahedron against the pyramid,
  // plus a surface triangle; as Gmsh 2.2 text and as the same grid in VTK's corner orders (VTK's
  // prism starts with the triangle facing away from the other one, Gmsh's with the one facing it).
  const double xyz[12][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1},
                             {1.6, 0.5, 0.5}, {0.5, 0, 1.7}, {0.5, 1, 1.7}, {1.3, 1.5, 0.5}};
  const double f[12] = {0, 1, 2.5, 1.5, 1, 2, 3.5, 2.5, 3, 3.25, 4.5, 4};
  const std::string msh =
      "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n12\n1 0 0 0\n2 1 0 0\n3 1 1 0\n4 0 1 0\n5 0 0 1\n6 1 0 1\n"
      "7 1 1 1\n8 0 1 1\n9 1.6 0.5 0.5\n10 0.5 0 1.7\n11 0.5 1 1.7\n12 1.3 1.5 0.5\n$EndNodes\n"
      "$Elements\n5\n1 2 2 0 1 1 2 3\n2 5 2 0 1 1 2 3 4 5 6 7 8\n3 7 2 0 1 2 3 7 6 9\n4 6 2 0 1 5 10 6 8 11 7\n"
      "5 4 2 0 1 3 7 9 12\n$EndElements\n"
      "$NodeData\n1\n\"f\"\n1\n0.0\n3\n0\n1\n12\n1 0\n2 1\n3 2.5\n4 1.5\n5 1\n6 2\n7 3.5\n8 2.5\n9 3\n10 3.25\n"
      "11 4.5\n12 4\n$EndNodeData\n";
  auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  points->SetDataTypeToDouble();
  for (const auto& p : xyz) points->InsertNextPoint(p);
  grid->SetPoints(points);
  const vtkIdType hex[8] = {0, 1, 2, 3, 4, 5, 6, 7}, pyramid[5] = {1, 2, 6, 5, 8}, wedge[6] = {4, 5, 9, 7, 6, 10},
                  tet[4] = {2, 6, 8, 11};
  grid->InsertNextCell(VTK_HEXAHEDRON, 8, hex);
  grid->InsertNextCell(VTK_PYRAMID, 5, pyramid);
  grid->InsertNextCell(VTK_WEDGE, 6, wedge);
  grid->InsertNextCell(VTK_TETRA, 4, tet);
  vtkNew<vtkDoubleArray> values;
  values->SetName("f");
  for (double v : f) values->InsertNextValue(v);
  grid->GetPointData()->AddArray(values);
  ScratchDir dir;
  dir.write("m.msh", msh);
  vtkNew<vtkXMLUnstructuredGridWriter> writer;
  writer->SetInputData(grid);
  writer->SetFileName(dir.file("m.vtu").c_str());
  ASSERT_EQ(writer->Write(), 1);

  const CommandResult a = runVxbuild({"m.msh", "-o", "a.vx", "--verify"}, dir.path());
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_NE(a.out.find("note: 3 cells that are not tetrahedra split into tetrahedra by VTK"), std::string::npos) << a.out;
  EXPECT_NE(a.out.find("note: 1 point, line and surface elements skipped"), std::string::npos) << a.out;
  const CommandResult b = runVxbuild({"m.vtu", "-o", "b.vx", "--quiet"}, dir.path());
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_TRUE(readText(dir.file("a.vx")) == readText(dir.file("b.vx")));
  EXPECT_TRUE(readText(dir.file("a.vx.cache")) == readText(dir.file("b.vx.cache")));
  // And both are VTK's surfaces of VTK's split of the grid.
  vtkNew<vtkDataSetTriangleFilter> split;
  split->SetInputData(grid);
  split->TetrahedraOnlyOn();
  split->Update();
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(dir.file("a.vx.cache"), 256, 256, cache));
  compareWithVtk(cache, split->GetOutput(), "f");
}

TEST(AgainstVtk, NanInVtuIsRefused) {
  auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  points->InsertNextPoint(0, 0, 0);
  points->InsertNextPoint(1, 0, 0);
  points->InsertNextPoint(0, 1, 0);
  points->InsertNextPoint(0, 0, 1);
  grid->SetPoints(points);
  const vtkIdType ids[4] = {0, 1, 2, 3};
  grid->InsertNextCell(VTK_TETRA, 4, ids);
  vtkNew<vtkDoubleArray> f;
  f->SetName("f");
  for (double v : {0.0, 1.0, double(NAN), 3.0}) f->InsertNextValue(v);
  grid->GetPointData()->AddArray(f);
  ScratchDir dir;
  vtkNew<vtkXMLUnstructuredGridWriter> writer;
  writer->SetInputData(grid);
  writer->SetFileName(dir.file("nan.vtu").c_str());
  ASSERT_EQ(writer->Write(), 1);
  const CommandResult r = runVxbuild({"nan.vtu", "-o", "out.vx", "--quiet"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, pk::errorText("the field has the value NaN at vertex 2 (counting from 0 in input order)")) << r.err;
  EXPECT_EQ(dir.list(), std::vector<std::string>{"nan.vtu"});
}

TEST(AgainstVtk, PolyhedraAreSplitAndTheirPointsChecked) {
  // A cube as one polyhedron, and the same with a face that names a point the grid does not have.
  for (vtkIdType last : {vtkIdType(7), vtkIdType(42)}) {
    SCOPED_TRACE(last);
    auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
    vtkNew<vtkPoints> points;
    vtkNew<vtkDoubleArray> f;
    f->SetName("f");
    for (int k = 0; k < 2; ++k)
      for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
          points->InsertNextPoint(i, j, k);
          f->InsertNextValue(i + 2 * j + 4 * k);
        }
    grid->SetPoints(points);
    grid->GetPointData()->AddArray(f);
    const vtkIdType ids[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const vtkIdType faces[] = {4, 0, 2, 3, 1, 4, 4, 5, 7, 6, 4, 0, 1, 5, 4, 4, 2, 6, 7, 3, 4, 0, 4, 6, 2, 4, 1, 3, last, 5};
    grid->InsertNextCell(VTK_POLYHEDRON, 8, ids, 6, faces);
    ScratchDir dir;
    vtkNew<vtkXMLUnstructuredGridWriter> writer;
    writer->SetInputData(grid);
    writer->SetFileName(dir.file("p.vtu").c_str());
    ASSERT_EQ(writer->Write(), 1);
    const CommandResult r = runVxbuild({"p.vtu", "-o", "p.vx"}, dir.path());
    if (last == 7) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.out.find("1 cells that are not tetrahedra split into tetrahedra by VTK"), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("p.vtu: cell 0 refers to point 42, but the grid has 8 points"), std::string::npos) << r.err;
    }
  }
}

TEST(AgainstVtk, BrokenVtkFilesFailCleanly) {
  const std::string header = "# vtk DataFile Version 3.0\nt\nASCII\nDATASET UNSTRUCTURED_GRID\nPOINTS 4 float\n0 0 0 1 0 0 0 1 0 0 0 1\n";
  const struct {
    std::string name, text, message;
  } cases[] = {
      {"index.vtk", header + "CELLS 1 5\n4 0 1 2 9\nCELL_TYPES 1\n10\nPOINT_DATA 4\nSCALARS s float 1\nLOOKUP_TABLE default\n0 1 2 3\n",
       "cell 0 refers to point 9, but the grid has 4 points"},
      {"nan.vtk", header + "CELLS 1 5\n4 0 1 2 3\nCELL_TYPES 1\n10\nPOINT_DATA 4\nSCALARS s float 1\nLOOKUP_TABLE default\n0 nan 2 3\n",
       "nan.vtk: VTK cannot read it: Unsupported point attribute type: nan"},
      {"nofield.vtk", header + "CELLS 1 5\n4 0 1 2 3\nCELL_TYPES 1\n10\n", "the mesh has no point field"},
      {"poly.vtk", "# vtk DataFile Version 3.0\nt\nASCII\nDATASET POLYDATA\nPOINTS 1 float\n0 0 0\n", "not a VTK unstructured grid"},
      {"junk.vtu", "<VTKFile type=\"UnstructuredGrid\"><broken", "hex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write(c.name, c.text);
    const CommandResult r = runVxbuild({c.name, "-o", "out.vx"}, dir.path());
    EXPECT_EQ(r.status, 1);
    if (c.message != "hex") {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_NE(r.err.find("\033[31mERROR:\033[0m "), std::string::npos) << r.err;
    EXPECT_EQ(dir.list(), std::vector<std::string>{c.name});
  }
}

TEST(VtkFormats, ExodusWrittenByVtkWithTwoBlocks) {
  // The wavelet's tetrahedra in two element blocks, as VTK's Exodus II writer stores them.
  vtkSmartPointer<vtkUnstructuredGrid> grid = waveletTets(6);
  vtkNew<vtkIntArray> blocks;
  blocks->SetName("ElementBlockIds");
  for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) {
    double centre[3] = {0, 0, 0}, p[3];
    vtkIdType n;
    const vtkIdType* ids;
    grid->GetCellPoints(c, n, ids);
    for (vtkIdType k = 0; k < n; ++k) {
      grid->GetPoint(ids[k], p);
      centre[0] += p[0] / double(n);
    }
    blocks->InsertNextValue(centre[0] < 0 ? 1 : 2);
  }
  grid->GetCellData()->AddArray(blocks);
  ScratchDir dir;
  vtkNew<vtkExodusIIWriter> writer;
  writer->SetInputData(grid);
  writer->SetFileName(dir.file("w.exo").c_str());
  writer->WriteAllTimeStepsOff();
  ASSERT_EQ(writer->Write(), 1);
  grid->GetCellData()->RemoveArray("ElementBlockIds");

  std::string out;
  CacheData cache;
  ASSERT_TRUE(buildCommand(dir, {"w.exo"}, cache, &out));
  EXPECT_NE(out.find("\"RTData\""), std::string::npos) << out;
  EXPECT_NE(out.find("note: 2 blocks, all read"), std::string::npos) << out;
  EXPECT_NE(out.find("2 blocks merged into one grid"), std::string::npos) << out;
  EXPECT_EQ(out.find("Id\""), std::string::npos) << "no id arrays among the fields: " << out;
  compareWithVtk(cache, grid, "RTData");
  // The blocks' points are joined again: as many vertices as the wavelet has points.
  EXPECT_NE(out.find("vertices     2197 "), std::string::npos) << out;

  // One block alone.
  vtkNew<vtkExodusIIReader> reader;
  reader->SetFileName(dir.file("w.exo").c_str());
  reader->UpdateInformation();
  ASSERT_EQ(reader->GetNumberOfObjects(vtkExodusIIReader::ELEM_BLOCK), 2);
  const std::string first = reader->GetObjectName(vtkExodusIIReader::ELEM_BLOCK, 0);
  ASSERT_TRUE(buildCommand(dir, {"w.exo", "--block", first}, cache, &out));
  EXPECT_NE(out.find("; read \"" + first + "\""), std::string::npos) << out;
  EXPECT_EQ(out.find("merged"), std::string::npos) << out;
}

TEST(VtkFormats, EnSightWrittenByVtk) {
  vtkSmartPointer<vtkUnstructuredGrid> grid = waveletTets(6);
  // The writer puts cells into parts by this array.
  vtkNew<vtkIntArray> parts;
  parts->SetName("BlockId");
  for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) parts->InsertNextValue(1);
  auto written = vtkSmartPointer<vtkUnstructuredGrid>::New();
  written->ShallowCopy(grid);
  written->GetCellData()->AddArray(parts);
  ScratchDir dir;
  {
    vtkNew<vtkEnSightWriter> writer;
    writer->SetInputData(written);
    writer->SetPath(dir.path().c_str());
    writer->SetBaseName("w");
    writer->SetTimeStep(0);
    writer->Write();
  }
  // The case file as the writer's WriteCaseFile would make it (VTK 9.1's leaves it unflushed).
  ASSERT_TRUE(fileExists(dir.file("w.0.00000.geo"))) << "files: " << ::testing::PrintToString(dir.list());
  dir.write("w.0.case", "FORMAT\ntype: ensight gold\n\nGEOMETRY\nmodel: w.0.00000.geo\n\nVARIABLE\n"
                        "scalar per node: RTData_n w.0.00000_n.RTData\n");
  std::string out;
  CacheData cache;
  ASSERT_TRUE(buildCommand(dir, {"w.0.case"}, cache, &out));
  EXPECT_NE(out.find("\"RTData_n\""), std::string::npos) << out;
  compareWithVtk(cache, grid, "RTData");
}

TEST(VtkFormats, ParallelVtuPiecesAreMerged) {
  // Two pieces of the wavelet's tetrahedra, which share a layer of points; written again with a
  // layer of ghost cells, which each piece repeats from the other.
  for (int ghosts : {0, 1}) {
    SCOPED_TRACE(ghosts);
    vtkNew<vtkRTAnalyticSource> wavelet;
    wavelet->SetWholeExtent(-6, 6, -6, 6, -6, 6);
    vtkNew<vtkDataSetTriangleFilter> tets;
    tets->SetInputConnection(wavelet->GetOutputPort());
    tets->TetrahedraOnlyOn();
    ScratchDir dir;
    vtkNew<vtkXMLPUnstructuredGridWriter> writer;
    writer->SetInputConnection(tets->GetOutputPort());
    writer->SetFileName(dir.file("w.pvtu").c_str());
    writer->SetNumberOfPieces(2);
    writer->SetStartPiece(0);
    writer->SetEndPiece(1);
    writer->SetGhostLevel(ghosts);
    ASSERT_EQ(writer->Write(), 1);
    ASSERT_GE(dir.list().size(), 3u);
    // A collection that names the same file.
    dir.write("w.pvd", "<VTKFile type=\"Collection\"><Collection><DataSet file=\"w.pvtu\"/></Collection></VTKFile>\n");
    vtkNew<vtkXMLPUnstructuredGridReader> reader;
    reader->SetFileName(dir.file("w.pvtu").c_str());
    reader->Update();
    auto whole = vtkSmartPointer<vtkUnstructuredGrid>::New();
    whole->DeepCopy(reader->GetOutput());
    EXPECT_EQ(whole->GetCellData()->GetArray(vtkDataSetAttributes::GhostArrayName()) != nullptr, ghosts > 0);
    whole->RemoveGhostCells();
    for (const char* input : {"w.pvtu", "w.pvd"}) {
      SCOPED_TRACE(input);
      std::string out;
      CacheData cache;
      ASSERT_TRUE(buildCommand(dir, {input}, cache, &out));
      EXPECT_NE(out.find("note: 2 pieces merged into one grid"), std::string::npos) << out;
      EXPECT_NE(out.find("vertices     2197 "), std::string::npos) << out;
      EXPECT_NE(out.find("tetrahedra   8640 "), std::string::npos) << out;
      // Without ghost cells VTK cuts both sides of the pieces' common face alike, so it is no
      // boundary; with them it cuts them differently (the cells' parity moves with the ghost layer).
      if (ghosts == 0) {
        EXPECT_NE(out.find("list 0 (outer): 1728 triangles in 1 component(s)"), std::string::npos) << out;
      }
      compareWithVtk(cache, whole, "RTData");
    }
  }
}

TEST(VtkFormats, PvdCollectionWithTimeSteps) {
  // Two time steps of the same grid, the second with another field.
  vtkSmartPointer<vtkUnstructuredGrid> grid = waveletTets(5);
  ScratchDir dir;
  vtkNew<vtkXMLUnstructuredGridWriter> writer;
  writer->SetInputData(grid);
  writer->SetFileName(dir.file("w0.vtu").c_str());
  ASSERT_EQ(writer->Write(), 1);
  auto later = vtkSmartPointer<vtkUnstructuredGrid>::New();
  later->DeepCopy(grid);
  vtkDataArray* rt = later->GetPointData()->GetArray("RTData");
  for (vtkIdType i = 0; i < rt->GetNumberOfTuples(); ++i) {
    double p[3];
    later->GetPoint(i, p);
    rt->SetComponent(i, 0, rt->GetComponent(i, 0) + 20 * p[0]);
  }
  writer->SetInputData(later);
  writer->SetFileName(dir.file("w1.vtu").c_str());
  ASSERT_EQ(writer->Write(), 1);
  dir.write("w.pvd", "<?xml version=\"1.0\"?>\n<VTKFile type=\"Collection\" version=\"0.1\">\n<Collection>\n"
                     "<DataSet timestep=\"0\" part=\"0\" file=\"w0.vtu\"/>\n"
                     "<DataSet timestep=\"0.25\" part=\"0\" file=\"w1.vtu\"/>\n</Collection>\n</VTKFile>\n");
  std::string out;
  CacheData cache;
  ASSERT_TRUE(buildCommand(dir, {"w.pvd"}, cache, &out));
  EXPECT_NE(out.find("note: 2 time step(s): 0, 0.25; read 0\n"), std::string::npos) << out;
  compareWithVtk(cache, grid, "RTData");
  ASSERT_TRUE(buildCommand(dir, {"w.pvd", "--time", "0.25"}, cache, &out));
  EXPECT_NE(out.find("read 0.25\n"), std::string::npos) << out;
  compareWithVtk(cache, later, "RTData");
}

TEST(VtkFormats, OpenFoamCase) {
  // A case of 27 hexahedra with a cell field at the times 0 and 1; VTK's reader makes the point
  // field from it, which is what both sides contour.
  const std::string data = std::string(std::getenv("VX_TEST_DATA") ? std::getenv("VX_TEST_DATA") : ".") + "/data/openfoam-cube";
  for (const char* time : {"0", "1"}) {
    SCOPED_TRACE(time);
    vtkNew<vtkOpenFOAMReader> reader;
    reader->SetFileName((data + "/system/controlDict").c_str());
    reader->SkipZeroTimeOff();
    reader->UpdateInformation();
    reader->DisableAllPatchArrays();
    reader->SetPatchArrayStatus("internalMesh", 1);
    reader->UpdateTimeStep(std::atof(time));
    auto* blocks = vtkMultiBlockDataSet::SafeDownCast(reader->GetOutputDataObject(0));
    ASSERT_TRUE(blocks);
    ASSERT_EQ(blocks->GetNumberOfBlocks(), 1u);
    vtkNew<vtkDataSetTriangleFilter> split;
    split->SetInputData(blocks->GetBlock(0));
    split->TetrahedraOnlyOn();
    split->Update();
    ASSERT_EQ(split->GetOutput()->GetNumberOfCells(), 27 * 6);
    ScratchDir dir;
    std::string out;
    CacheData cache;
    ASSERT_TRUE(buildCommand(dir, {data + (time[0] == '0' ? "/cube.foam" : "/system/controlDict"), "--time", time}, cache, &out));
    EXPECT_NE(out.find("note: 2 time step(s): 0, 1; read " + std::string(time) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("field        \"T\""), std::string::npos) << out;
    compareWithVtk(cache, split->GetOutput(), "T");
  }
}

TEST(VtkFormats, TimeAndBlockMistakesAreExplained) {
  const std::string data = std::string(std::getenv("VX_TEST_DATA") ? std::getenv("VX_TEST_DATA") : ".") + "/data/openfoam-cube";
  ScratchDir dir;
  dir.write("empty.pvd", "<?xml version=\"1.0\"?>\n<VTKFile type=\"Collection\"><Collection></Collection></VTKFile>\n");
  dir.write("missing.pvd", "<VTKFile type=\"Collection\"><Collection><DataSet file=\"nothere.vtu\"/></Collection></VTKFile>\n");
  dir.write("other.pvd", "<VTKFile type=\"Collection\"><Collection><DataSet file=\"w.pvd\"/></Collection></VTKFile>\n");
  dir.write("bad.exo", "CDF\x01 this is not a NetCDF file");
  dir.write("bad.case", "FORMAT\ntype: ensight gold\nGEOMETRY\nmodel: nothere.geo\n");
  dir.write("lonely.cas", "(0 \"no data file beside it\")\n");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{data + "/cube.foam", "--time", "0.5"}, "cube.foam: has no time step 0.5; its 2 step(s): 0, 1"},
      {{data + "/cube.foam", "--block", "internalMesh,walls"}, "cube.foam: has no block \"walls\"; its blocks: \"internalMesh\""},
      {{"empty.pvd"}, "empty.pvd: the collection lists no data sets"},
      {{"missing.pvd"}, "missing.pvd: cannot open nothere.vtu, which the collection names"},
      {{"other.pvd"}, "only .vtu, .pvtu and .vtk files are read from it"},
      {{"bad.exo"}, "bad.exo: not an Exodus II file"},
      {{"bad.case"}, "bad.case: "},
      {{"lonely.cas"}, "lonely.cas: the Fluent data file lonely.dat is missing"},
      {{"nothing.cgns"}, "cannot open nothing.cgns"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "out.vx"});
    const std::vector<std::string> before = dir.list();
    const CommandResult r = runVxbuild(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\033[31mERROR:\033[0m "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(dir.list(), before);
  }
}

TEST(VtkFormats, QuadraticCellsKeepCornersAndCellFieldsJoinPointFields) {
  // Quadratic tetrahedra whose mid-edge points carry values far off the rest: only the corners
  // count. A point field "p", a cell field "p" (the point field wins) and a cell field "c" (averaged
  // onto the points).
  const int n = 4;
  auto linear = vtkSmartPointer<vtkUnstructuredGrid>::New();
  auto quadratic = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  vtkNew<vtkDoubleArray> p, cellP, c;
  p->SetName("p");
  cellP->SetName("p");
  c->SetName("c");
  auto id = [&](int i, int j, int k) { return vtkIdType((k * (n + 1) + j) * (n + 1) + i); };
  for (int k = 0; k <= n; ++k)
    for (int j = 0; j <= n; ++j)
      for (int i = 0; i <= n; ++i) {
        points->InsertNextPoint(i, j, k);
        p->InsertNextValue(std::cos(0.7 * i) + 0.3 * j - 0.1 * k * k);
      }
  linear->SetPoints(points);
  quadratic->SetPoints(points);
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        for (const auto& perm : perms) {
          int at[3] = {i, j, k};
          vtkIdType q[10];
          q[0] = id(at[0], at[1], at[2]);
          for (int s = 0; s < 3; ++s) {
            ++at[perm[s]];
            q[s + 1] = id(at[0], at[1], at[2]);
          }
          const int edges[6][2] = {{0, 1}, {1, 2}, {2, 0}, {0, 3}, {1, 3}, {2, 3}};
          for (int e = 0; e < 6; ++e) {
            double a[3], b[3];
            points->GetPoint(q[edges[e][0]], a);
            points->GetPoint(q[edges[e][1]], b);
            q[4 + e] = points->InsertNextPoint(0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2]));
            p->InsertNextValue(1000.0);
          }
          linear->InsertNextCell(VTK_TETRA, 4, q);
          quadratic->InsertNextCell(VTK_QUADRATIC_TETRA, 10, q);
          cellP->InsertNextValue(-1000.0);
          c->InsertNextValue(std::sqrt(2.0) * i + 0.3 * j * j - 0.77 * k + 0.013 * perm[0]);
        }
  for (vtkUnstructuredGrid* g : {linear.Get(), quadratic.Get()}) {
    g->GetPointData()->AddArray(p);
    g->GetCellData()->AddArray(cellP);
    g->GetCellData()->AddArray(c);
  }
  ScratchDir dir;
  vtkNew<vtkXMLUnstructuredGridWriter> writer;
  writer->SetInputData(quadratic);
  writer->SetFileName(dir.file("q.vtu").c_str());
  ASSERT_EQ(writer->Write(), 1);
  vtkNew<vtkCellDataToPointData> toPoints;
  toPoints->SetInputData(linear);
  toPoints->ProcessAllArraysOff();
  toPoints->AddCellDataArray("c");
  toPoints->Update();
  for (const char* field : {"p", "c"}) {
    SCOPED_TRACE(field);
    std::string out;
    CacheData cache;
    ASSERT_TRUE(buildCommand(dir, {"q.vtu", "--field", field}, cache, &out));
    EXPECT_NE(out.find("note: " + std::to_string(6 * n * n * n) + " quadratic or higher-order cells: their corner points are used"),
              std::string::npos) << out;
    EXPECT_NE(out.find("note: cell field(s) \"c\" converted to point data"), std::string::npos) << out;
    EXPECT_NE(out.find("vertices     125 "), std::string::npos) << out;
    compareWithVtk(cache, toPoints->GetOutput(), field);
  }
}

TEST(VtkFormats, CgnsWrittenWithVtksCgnsLibrary) {
  // The wavelet's tetrahedra as one unstructured zone with a vertex solution, written with the
  // CGNS library that VTK carries.
  vtkSmartPointer<vtkUnstructuredGrid> grid = waveletTets(5);
  ScratchDir dir;
  const vtkIdType np = grid->GetNumberOfPoints(), nc = grid->GetNumberOfCells();
  std::vector<double> xyz[3], values(static_cast<size_t>(np));
  vtkDataArray* rt = grid->GetPointData()->GetArray("RTData");
  for (vtkIdType i = 0; i < np; ++i) {
    double p[3];
    grid->GetPoint(i, p);
    for (int c = 0; c < 3; ++c) xyz[c].push_back(p[c]);
    values[size_t(i)] = rt->GetComponent(i, 0);
  }
  std::vector<cgsize_t> connectivity;
  for (vtkIdType c = 0; c < nc; ++c) {
    vtkIdType n;
    const vtkIdType* ids;
    grid->GetCellPoints(c, n, ids);
    ASSERT_EQ(n, 4);
    for (int k = 0; k < 4; ++k) connectivity.push_back(cgsize_t(ids[k] + 1));
  }
  int file, base, zone, coord, section, solution, field;
  ASSERT_EQ(cg_open(dir.file("w.cgns").c_str(), CG_MODE_WRITE, &file), CG_OK);
  ASSERT_EQ(cg_base_write(file, "Base", 3, 3, &base), CG_OK);
  cgsize_t size[3] = {cgsize_t(np), cgsize_t(nc), 0};
  ASSERT_EQ(cg_zone_write(file, base, "Zone", size, CGNS_ENUMV(Unstructured), &zone), CG_OK);
  const char* names[3] = {"CoordinateX", "CoordinateY", "CoordinateZ"};
  for (int c = 0; c < 3; ++c)
    ASSERT_EQ(cg_coord_write(file, base, zone, CGNS_ENUMV(RealDouble), names[c], xyz[c].data(), &coord), CG_OK);
  ASSERT_EQ(cg_section_write(file, base, zone, "Tetrahedra", CGNS_ENUMV(TETRA_4), 1, cgsize_t(nc), 0, connectivity.data(), &section), CG_OK);
  ASSERT_EQ(cg_sol_write(file, base, zone, "Solution", CGNS_ENUMV(Vertex), &solution), CG_OK);
  ASSERT_EQ(cg_field_write(file, base, zone, solution, CGNS_ENUMV(RealDouble), "RTData", values.data(), &field), CG_OK);
  ASSERT_EQ(cg_close(file), CG_OK);

  std::string out;
  CacheData cache;
  ASSERT_TRUE(buildCommand(dir, {"w.cgns"}, cache, &out));
  EXPECT_NE(out.find("\"RTData\""), std::string::npos) << out;
  compareWithVtk(cache, grid, "RTData");
}

TEST(VtkFormats, FluentCaseAndData) {
  // Two tetrahedra in Fluent's text format (numbers in hexadecimal; faces list their nodes, then the
  // cells on either side), a temperature per cell in the data file.
  ScratchDir dir;
  dir.write("t.cas", "(0 \"two tetrahedra\")\n(2 3)\n(10 (0 1 5 0))\n(10 (1 1 5 1 3)(\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 1 1\n))\n"
                     "(12 (0 1 2 0))\n(12 (2 1 2 1 2))\n(13 (0 1 7 0))\n(13 (3 1 1 2 3)(\n2 3 4 1 2\n))\n"
                     "(13 (4 2 7 3 3)(\n1 2 3 1 0\n1 2 4 1 0\n1 3 4 1 0\n2 3 5 2 0\n2 4 5 2 0\n3 4 5 2 0\n))\n"
                     "(45 (2 fluid fluid)())\n(45 (3 interior default-interior)())\n(45 (4 wall walls)())\n");
  dir.write("t.dat", "(0 \"data\")\n(300 (3 2 1 1 0 1 2)(\n300\n400\n))\n");
  std::string out;
  CacheData cache;
  ASSERT_TRUE(buildCommand(dir, {"t.cas"}, cache, &out));
  EXPECT_NE(out.find("field        \"TEMPERATURE\", range [300, 400]"), std::string::npos) << out;
  EXPECT_NE(out.find("tetrahedra   2 (input 2)"), std::string::npos) << out;
  vtkNew<vtkFLUENTReader> reader;
  reader->SetFileName(dir.file("t.cas").c_str());
  reader->Update();
  auto* blocks = vtkMultiBlockDataSet::SafeDownCast(reader->GetOutputDataObject(0));
  ASSERT_TRUE(blocks && blocks->GetNumberOfBlocks() >= 1);
  vtkNew<vtkCellDataToPointData> toPoints;
  toPoints->SetInputData(blocks->GetBlock(0));
  toPoints->Update();
  // The shared corners average both cells, exactly the middle of the range: not 0.5 then.
  compareWithVtk(cache, vtkDataSet::SafeDownCast(toPoints->GetOutputDataObject(0)), "TEMPERATURE", {0.2f, 0.4f, 0.8f});
}
