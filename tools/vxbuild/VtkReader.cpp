// VTK legacy and XML unstructured grids through VTK's own readers. Compiled only when the tool is
// built with VTK.
#include "MeshReaders.h"

#include "PkDiag.h"

#include <vtkCellData.h>
#include <vtkCellDataToPointData.h>
#include <vtkCellType.h>
#include <vtkDataArray.h>
#include <vtkDataSetTriangleFilter.h>
#include <vtkGenericCell.h>
#include <vtkLogger.h>
#include <vtkNew.h>
#include <vtkOutputWindow.h>
#include <vtkPointData.h>
#include <vtkSmartPointer.h>
#include <vtkStringOutputWindow.h>
#include <vtkUnstructuredGrid.h>
#include <vtkUnstructuredGridReader.h>
#include <vtkXMLUnstructuredGridReader.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace vxb {

namespace {

// Collects what VTK would print, so that its complaints end up in one error line of ours.
class CapturedVtkOutput {
public:
  CapturedVtkOutput() {
    // VTK also logs to standard error on its own; our error line says what went wrong.
    vtkLogger::SetStderrVerbosity(vtkLogger::VERBOSITY_OFF);
    previous_ = vtkOutputWindow::GetInstance();
    previous_->Register(nullptr);
    vtkOutputWindow::SetInstance(window_);
  }
  ~CapturedVtkOutput() {
    vtkOutputWindow::SetInstance(previous_);
    previous_->UnRegister(nullptr);
  }
  CapturedVtkOutput(const CapturedVtkOutput&) = delete;
  CapturedVtkOutput& operator=(const CapturedVtkOutput&) = delete;

  // The message of the first error VTK reported ("ERROR: In file, line n" and the message on the
  // next line, after the reporting object's name), or an empty string.
  std::string firstError() {
    std::istringstream in(window_->GetOutput());
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ERROR:", 0) != 0) continue;
      std::string detail;
      while (std::getline(in, detail)) {
        const size_t b = detail.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        detail = detail.substr(b);
        const size_t object = detail.find("): ");
        if (object != std::string::npos && detail.find(" (0x") < object) detail = detail.substr(object + 3);
        return detail;
      }
      return line;
    }
    return std::string();
  }

private:
  vtkNew<vtkStringOutputWindow> window_;
  vtkOutputWindow* previous_ = nullptr;
};

bool endsWith(const std::string& s, const char* ext) {
  const std::string e(ext);
  if (s.size() < e.size()) return false;
  for (size_t i = 0; i < e.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - e.size() + i])) != e[i]) return false;
  return true;
}

bool fail(const std::string& path, const std::string& what) {
  pk::ErrorLine() << path << ": " << what;
  return false;
}

} // namespace

bool vtkAvailable() { return true; }

bool readVtk(const std::string& path, TetMesh& mesh) {
  mesh = TetMesh();
  if (!std::ifstream(path)) {
    pk::ErrorLine() << "cannot open " << path;
    return false;
  }
  CapturedVtkOutput captured;
  vtkSmartPointer<vtkUnstructuredGrid> grid;
  if (endsWith(path, ".vtu")) {
    vtkNew<vtkXMLUnstructuredGridReader> reader;
    if (!reader->CanReadFile(path.c_str())) return fail(path, "not a VTK XML unstructured grid");
    reader->SetFileName(path.c_str());
    reader->Update();
    const std::string e = captured.firstError();
    if (reader->GetErrorCode() || !e.empty()) return fail(path, "VTK cannot read it: " + (e.empty() ? "read error" : e));
    grid = reader->GetOutput();
  } else {
    vtkNew<vtkUnstructuredGridReader> reader;
    reader->SetFileName(path.c_str());
    if (!reader->IsFileUnstructuredGrid()) return fail(path, "not a VTK unstructured grid");
    reader->ReadAllScalarsOn();
    reader->ReadAllVectorsOn();
    reader->ReadAllFieldsOn();
    reader->Update();
    const std::string e = captured.firstError();
    if (reader->GetErrorCode() || !e.empty()) return fail(path, "VTK cannot read it: " + (e.empty() ? "read error" : e));
    grid = reader->GetOutput();
  }
  if (!grid || grid->GetNumberOfPoints() == 0) return fail(path, "the grid has no points");
  if (grid->GetNumberOfCells() == 0) return fail(path, "the grid has no cells");

  // VTK's readers do not check the connectivity: every index must name a point.
  const vtkIdType points = grid->GetNumberOfPoints();
  vtkIdType nonTet = 0, lower = 0;
  vtkNew<vtkGenericCell> cell;
  for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) {
    const int type = grid->GetCellType(c);
    if (type == VTK_POLYHEDRON) {
      ++nonTet;
      continue;
    }
    vtkIdType n;
    const vtkIdType* ids;
    grid->GetCellPoints(c, n, ids);
    for (vtkIdType k = 0; k < n; ++k)
      if (ids[k] < 0 || ids[k] >= points) {
        std::ostringstream m;
        m << "cell " << c << " refers to point " << ids[k] << ", but the grid has " << points << " points";
        return fail(path, m.str());
      }
    if (type == VTK_TETRA && n != 4) return fail(path, "cell " + std::to_string(c) + " is a tetrahedron with " + std::to_string(n) + " points");
    if (type == VTK_TETRA) continue;
    grid->GetCell(c, cell);
    if (cell->GetCellDimension() == 3)
      ++nonTet;
    else
      ++lower;
  }

  if (grid->GetPointData()->GetNumberOfArrays() == 0 && grid->GetCellData()->GetNumberOfArrays() > 0) {
    vtkNew<vtkCellDataToPointData> toPoints;
    toPoints->SetInputData(grid);
    toPoints->Update();
    grid = vtkUnstructuredGrid::SafeDownCast(toPoints->GetOutput());
    if (!grid) return fail(path, "VTK could not convert the cell data to point data");
    mesh.notes.push_back("the grid has cell data only: converted to point data (average of the cells around each point)");
  }
  if (nonTet) {
    vtkNew<vtkDataSetTriangleFilter> split;
    split->SetInputData(grid);
    split->TetrahedraOnlyOn();
    split->Update();
    const std::string e = captured.firstError();
    if (!e.empty()) return fail(path, "VTK could not split the cells into tetrahedra: " + e);
    vtkUnstructuredGrid* out = split->GetOutput();
    std::ostringstream note;
    note << nonTet << " cells that are not tetrahedra split into tetrahedra by VTK (" << out->GetNumberOfCells()
         << " tetrahedra in all)";
    mesh.notes.push_back(note.str());
    grid = out;
  }
  if (lower) mesh.notes.push_back(std::to_string(lower) + " vertex, line and surface cells skipped");

  const vtkIdType n = grid->GetNumberOfPoints();
  mesh.points.resize(size_t(n) * 3);
  for (vtkIdType i = 0; i < n; ++i) {
    double p[3];
    grid->GetPoint(i, p);
    for (int c = 0; c < 3; ++c) {
      if (!std::isfinite(p[c])) return fail(path, "point " + std::to_string(i) + " has a coordinate that is not finite");
      mesh.points[size_t(i) * 3 + size_t(c)] = p[c];
    }
  }
  for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) {
    if (grid->GetCellType(c) != VTK_TETRA) continue;
    vtkIdType k;
    const vtkIdType* ids;
    grid->GetCellPoints(c, k, ids);
    if (k != 4) continue;
    for (int j = 0; j < 4; ++j) {
      if (ids[j] < 0 || ids[j] >= n) return fail(path, "a tetrahedron refers to a point that does not exist");
      mesh.tets.push_back(uint32_t(ids[j]));
    }
  }
  if (mesh.tets.empty()) return fail(path, "the grid has no three-dimensional cells");

  vtkPointData* pd = grid->GetPointData();
  for (int a = 0; a < pd->GetNumberOfArrays(); ++a) {
    vtkDataArray* array = pd->GetArray(a);
    if (!array || array->GetNumberOfTuples() != n) continue;
    MeshField f;
    f.name = array->GetName() ? array->GetName() : "";
    if (f.name.empty()) f.name = "array" + std::to_string(a);
    f.components = array->GetNumberOfComponents();
    if (f.components < 1) continue;
    f.values.resize(size_t(n) * size_t(f.components));
    for (vtkIdType i = 0; i < n; ++i)
      for (int c = 0; c < f.components; ++c)
        f.values[size_t(i) * size_t(f.components) + size_t(c)] = array->GetComponent(i, c);
    mesh.fields.push_back(std::move(f));
  }
  return true;
}

} // namespace vxb
