// The mesh formats that VTK reads, through VTK's own readers, and the splitting of other cells into
// tetrahedra. Compiled only when the tool is built with VTK.
#include "meshimport/MeshReaders.h"

#include "PkDiag.h"

#include <vtkAlgorithm.h>
#include <vtkAppendFilter.h>
#include <vtkCGNSReader.h>
#include <vtkCellData.h>
#include <vtkCellDataToPointData.h>
#include <vtkCellType.h>
#include <vtkCompositeDataSet.h>
#include <vtkDataArray.h>
#include <vtkDataSetAttributes.h>
#include <vtkDataSetTriangleFilter.h>
#include <vtkDoubleArray.h>
#include <vtkExodusIIReader.h>
#include <vtkFLUENTReader.h>
#include <vtkGenericEnSightReader.h>
#include <vtkGenericCell.h>
#include <vtkIdTypeArray.h>
#include <vtkInformation.h>
#include <vtkLogger.h>
#include <vtkMultiBlockDataSet.h>
#include <vtkNew.h>
#include <vtkOpenFOAMReader.h>
#include <vtkOutputWindow.h>
#include <vtkPartitionedDataSet.h>
#include <vtkPartitionedDataSetCollection.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkSmartPointer.h>
#include <vtkStreamingDemandDrivenPipeline.h>
#include <vtkStringOutputWindow.h>
#include <vtkUnstructuredGrid.h>
#include <vtkUnstructuredGridReader.h>
#include <vtkXMLDataElement.h>
#include <vtkXMLDataParser.h>
#include <vtkXMLPUnstructuredGridReader.h>
#include <vtkXMLReader.h>
#include <vtkXMLUnstructuredGridReader.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
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

// The linear cell with the same corners as a quadratic or higher-order volume cell, or -1.
int linearType(int type) {
  switch (type) {
  case VTK_QUADRATIC_TETRA: case VTK_LAGRANGE_TETRAHEDRON: case VTK_BEZIER_TETRAHEDRON:
    return VTK_TETRA;
  case VTK_QUADRATIC_HEXAHEDRON: case VTK_TRIQUADRATIC_HEXAHEDRON: case VTK_BIQUADRATIC_QUADRATIC_HEXAHEDRON:
  case VTK_LAGRANGE_HEXAHEDRON: case VTK_BEZIER_HEXAHEDRON:
    return VTK_HEXAHEDRON;
  case VTK_QUADRATIC_WEDGE: case VTK_QUADRATIC_LINEAR_WEDGE: case VTK_BIQUADRATIC_QUADRATIC_WEDGE:
  case VTK_LAGRANGE_WEDGE: case VTK_BEZIER_WEDGE:
    return VTK_WEDGE;
  case VTK_QUADRATIC_PYRAMID: case VTK_TRIQUADRATIC_PYRAMID: case VTK_LAGRANGE_PYRAMID: case VTK_BEZIER_PYRAMID:
    return VTK_PYRAMID;
  default:
    return -1;
  }
}

int linearCorners(int type) {
  switch (type) {
  case VTK_TETRA: return 4;
  case VTK_HEXAHEDRON: return 8;
  case VTK_WEDGE: return 6;
  case VTK_PYRAMID: return 5;
  default: return 0;
  }
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "\"" : ", \"") + n + "\"";
  return s;
}

std::string numberText(double x) {
  std::ostringstream s;
  s << x;
  return s.str();
}

// The steps as a short list: all of up to twelve, else the first and last five.
std::string stepList(const std::vector<double>& times) {
  std::string s;
  for (size_t i = 0; i < times.size(); ++i) {
    if (times.size() > 12 && i == 5) {
      s += ", …";
      i = times.size() - 6;
      continue;
    }
    s += (i ? ", " : "") + numberText(times[i]);
  }
  return s;
}

// Picks the step of --time (the nearest, within a relative 1e-5, so that a value copied from the
// summary matches), or the first. Adds a note naming the steps there are.
bool chooseTime(const std::string& path, const std::vector<double>& times, const ReadOptions& options,
                double& chosen, TetMesh& mesh) {
  if (times.empty()) {
    if (options.haveTime) return fail(path, "has no time steps, so --time does not apply");
    return true;
  }
  chosen = times.front();
  if (options.haveTime) {
    size_t best = 0;
    for (size_t i = 1; i < times.size(); ++i)
      if (std::fabs(times[i] - options.time) < std::fabs(times[best] - options.time)) best = i;
    const double scale = std::max(std::fabs(times[best]), std::fabs(options.time));
    if (!(times[best] == options.time || std::fabs(times[best] - options.time) <= 1e-5 * scale))
      return fail(path, "has no time step " + numberText(options.time) + "; its " + std::to_string(times.size()) +
                            " step(s): " + stepList(times));
    chosen = times[best];
  }
  mesh.notes.push_back(std::to_string(times.size()) + " time step(s): " + stepList(times) + "; read " + numberText(chosen));
  return true;
}

// A data set of a composite output with the names of the blocks above it and its own.
struct Leaf {
  vtkSmartPointer<vtkDataSet> data;
  std::vector<std::string> names;
};

void collectLeaves(vtkDataObject* object, const std::vector<std::string>& names, std::vector<Leaf>& out) {
  if (!object) return;
  if (auto* ds = vtkDataSet::SafeDownCast(object)) {
    out.push_back({ds, names});
    return;
  }
  auto childNames = [&](vtkInformation* meta) {
    std::vector<std::string> n = names;
    if (meta && meta->Has(vtkCompositeDataSet::NAME()) && meta->Get(vtkCompositeDataSet::NAME()))
      n.push_back(meta->Get(vtkCompositeDataSet::NAME()));
    return n;
  };
  if (auto* mb = vtkMultiBlockDataSet::SafeDownCast(object)) {
    for (unsigned i = 0; i < mb->GetNumberOfBlocks(); ++i)
      collectLeaves(mb->GetBlock(i), childNames(mb->HasMetaData(i) ? mb->GetMetaData(i) : nullptr), out);
  } else if (auto* pc = vtkPartitionedDataSetCollection::SafeDownCast(object)) {
    for (unsigned i = 0; i < pc->GetNumberOfPartitionedDataSets(); ++i)
      collectLeaves(pc->GetPartitionedDataSet(i), childNames(pc->HasMetaData(i) ? pc->GetMetaData(i) : nullptr), out);
  } else if (auto* pd = vtkPartitionedDataSet::SafeDownCast(object)) {
    for (unsigned i = 0; i < pd->GetNumberOfPartitions(); ++i) collectLeaves(pd->GetPartitionAsDataObject(i), names, out);
  }
}

// Keeps the leaves with cells that --block names (all when it names none), notes the blocks there
// are, and merges them into one grid with coincident points joined.
bool mergeLeaves(const std::string& path, std::vector<Leaf> leaves, const ReadOptions& options, TetMesh& mesh,
                 vtkSmartPointer<vtkUnstructuredGrid>& grid, bool pieces = false) {
  leaves.erase(std::remove_if(leaves.begin(), leaves.end(),
                              [](const Leaf& l) { return !l.data || l.data->GetNumberOfCells() == 0; }),
               leaves.end());
  if (leaves.empty()) return fail(path, "it holds no cells");
  if (pieces && !options.blocks.empty()) return fail(path, "has no blocks, so --block does not apply");
  std::vector<std::string> blockNames; // every leaf's own name, in order, once
  std::set<std::string> allNames;
  for (size_t i = 0; i < leaves.size(); ++i) {
    if (leaves[i].names.empty() || leaves[i].names.back().empty()) leaves[i].names.push_back("block " + std::to_string(i));
    allNames.insert(leaves[i].names.begin(), leaves[i].names.end());
    if (std::find(blockNames.begin(), blockNames.end(), leaves[i].names.back()) == blockNames.end())
      blockNames.push_back(leaves[i].names.back());
  }
  if (pieces) {
  } else if (!options.blocks.empty()) {
    for (const std::string& b : options.blocks)
      if (!allNames.count(b)) return fail(path, "has no block \"" + b + "\"; its blocks: " + quotedList(blockNames));
    std::vector<Leaf> kept;
    for (Leaf& l : leaves)
      for (const std::string& b : options.blocks)
        if (std::find(l.names.begin(), l.names.end(), b) != l.names.end()) {
          kept.push_back(std::move(l));
          break;
        }
    leaves = std::move(kept);
    std::vector<std::string> keptNames;
    for (const Leaf& l : leaves)
      if (std::find(keptNames.begin(), keptNames.end(), l.names.back()) == keptNames.end()) keptNames.push_back(l.names.back());
    mesh.notes.push_back(std::to_string(blockNames.size()) + " blocks: " + quotedList(blockNames) + "; read " +
                         quotedList(keptNames));
  } else if (blockNames.size() > 1) {
    mesh.notes.push_back(std::to_string(blockNames.size()) + " blocks, all read: " + quotedList(blockNames));
  }
  // Ghost cells repeat cells of other pieces: they go, and so do the ghost marks on points, so that
  // the points the pieces share are joined.
  for (Leaf& l : leaves) {
    auto* ug = vtkUnstructuredGrid::SafeDownCast(l.data);
    if (!ug || !l.data->GetCellData()->GetArray(vtkDataSetAttributes::GhostArrayName())) continue;
    auto copy = vtkSmartPointer<vtkUnstructuredGrid>::New();
    copy->DeepCopy(ug);
    copy->RemoveGhostCells();
    copy->GetCellData()->RemoveArray(vtkDataSetAttributes::GhostArrayName());
    copy->GetPointData()->RemoveArray(vtkDataSetAttributes::GhostArrayName());
    l.data = copy;
  }
  vtkNew<vtkAppendFilter> append;
  append->MergePointsOn();
  append->SetTolerance(0.0);
  for (const Leaf& l : leaves) append->AddInputData(l.data);
  append->Update();
  grid = append->GetOutput();
  if (leaves.size() > 1)
    mesh.notes.push_back(std::to_string(leaves.size()) + (pieces ? " pieces" : " blocks") +
                         " merged into one grid (coincident points joined)");
  return true;
}

// From a grid to the builder's mesh: indices checked, higher-order cells reduced to their corners,
// cell fields without a point field of their name averaged onto the points, cells other than
// tetrahedra split by VTK, then points, tetrahedra and point fields copied. With skipIds, the
// arrays that a reader marked as global or pedigree ids are left out.
bool gridToMesh(const std::string& path, vtkSmartPointer<vtkUnstructuredGrid> grid, CapturedVtkOutput& captured,
                bool skipIds, TetMesh& mesh) {
  if (!grid || grid->GetNumberOfPoints() == 0) return fail(path, "the grid has no points");
  if (grid->GetNumberOfCells() == 0) return fail(path, "the grid has no cells");
  if (grid->GetCellData()->GetArray(vtkDataSetAttributes::GhostArrayName())) {
    grid->RemoveGhostCells();
    grid->GetCellData()->RemoveArray(vtkDataSetAttributes::GhostArrayName());
    if (grid->GetNumberOfCells() == 0) return fail(path, "the grid has no cells but ghost cells");
  }

  // VTK's readers do not check the connectivity: every index must name a point.
  const vtkIdType points = grid->GetNumberOfPoints();
  vtkIdType nonTet = 0, lower = 0, higherOrder = 0;
  vtkNew<vtkGenericCell> cell;
  auto badIndex = [&](vtkIdType c, vtkIdType id) {
    std::ostringstream m;
    m << "cell " << c << " refers to point " << id << ", but the grid has " << points << " points";
    return fail(path, m.str());
  };
  for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) {
    const int type = grid->GetCellType(c);
    if (type == VTK_POLYHEDRON) {
      // Its faces, each as a point count and the points.
      const std::string broken = "cell " + std::to_string(c) + " is a polyhedron without a proper list of faces";
      vtkIdTypeArray* all = grid->GetFaces();
      vtkIdTypeArray* locations = grid->GetFaceLocations();
      if (!all || !locations || c >= locations->GetNumberOfValues()) return fail(path, broken);
      const vtkIdType at = locations->GetValue(c), size = all->GetNumberOfValues();
      if (at < 0 || at >= size) return fail(path, broken);
      const vtkIdType* stream = all->GetPointer(0);
      vtkIdType next = at;
      const vtkIdType faces = stream[next++];
      if (faces < 4) return fail(path, broken);
      for (vtkIdType f = 0; f < faces; ++f) {
        if (next >= size) return fail(path, broken);
        const vtkIdType count = stream[next++];
        if (count < 3 || count > size - next) return fail(path, broken);
        for (vtkIdType k = 0; k < count; ++k, ++next)
          if (stream[next] < 0 || stream[next] >= points) return badIndex(c, stream[next]);
      }
      vtkIdType n;
      const vtkIdType* ids;
      grid->GetCellPoints(c, n, ids);
      for (vtkIdType k = 0; k < n; ++k)
        if (ids[k] < 0 || ids[k] >= points) return badIndex(c, ids[k]);
      ++nonTet;
      continue;
    }
    vtkIdType n;
    const vtkIdType* ids;
    grid->GetCellPoints(c, n, ids);
    for (vtkIdType k = 0; k < n; ++k)
      if (ids[k] < 0 || ids[k] >= points) return badIndex(c, ids[k]);
    if (type == VTK_TETRA && n != 4) return fail(path, "cell " + std::to_string(c) + " is a tetrahedron with " + std::to_string(n) + " points");
    if (type == VTK_TETRA) continue;
    const int linear = linearType(type);
    if (linear >= 0) {
      if (n < linearCorners(linear)) return fail(path, "cell " + std::to_string(c) + " has too few points for its type");
      ++higherOrder;
      if (linear != VTK_TETRA) ++nonTet;
      continue;
    }
    grid->GetCell(c, cell);
    if (cell->GetCellDimension() == 3)
      ++nonTet;
    else
      ++lower;
  }

  if (higherOrder) {
    auto linear = vtkSmartPointer<vtkUnstructuredGrid>::New();
    linear->SetPoints(grid->GetPoints());
    linear->GetPointData()->ShallowCopy(grid->GetPointData());
    vtkCellData* inCells = grid->GetCellData();
    linear->GetCellData()->CopyAllocate(inCells, grid->GetNumberOfCells());
    linear->AllocateEstimate(grid->GetNumberOfCells(), 8);
    for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) {
      const int type = grid->GetCellType(c);
      vtkIdType id;
      if (type == VTK_POLYHEDRON) {
        vtkIdType n, faces;
        const vtkIdType *ids, *stream;
        grid->GetCellPoints(c, n, ids);
        grid->GetFaceStream(c, faces, stream);
        // The face stream as the cell's own: faces counted, each as its size and point ids.
        std::vector<vtkIdType> copy;
        const vtkIdType* f = stream;
        for (vtkIdType k = 0; k < faces; ++k) {
          copy.insert(copy.end(), f, f + 1 + f[0]);
          f += 1 + f[0];
        }
        id = linear->InsertNextCell(VTK_POLYHEDRON, n, ids, faces, copy.data());
      } else {
        vtkIdType n;
        const vtkIdType* ids;
        grid->GetCellPoints(c, n, ids);
        const int lt = linearType(type);
        id = lt >= 0 ? linear->InsertNextCell(lt, linearCorners(lt), ids) : linear->InsertNextCell(type, n, ids);
      }
      linear->GetCellData()->CopyData(inCells, c, id);
    }
    grid = linear;
    mesh.notes.push_back(std::to_string(higherOrder) + " quadratic or higher-order cells: their corner points are used");
  }

  vtkPointData* pointFields = grid->GetPointData();
  vtkCellData* cellFields = grid->GetCellData();
  std::vector<std::string> cellOnly;
  for (int a = 0; a < cellFields->GetNumberOfArrays(); ++a) {
    vtkDataArray* array = cellFields->GetArray(a);
    if (!array || !array->GetName() || !*array->GetName()) continue;
    if (skipIds && (array == cellFields->GetGlobalIds() || array == cellFields->GetPedigreeIds())) continue;
    if (!pointFields->GetArray(array->GetName())) cellOnly.push_back(array->GetName());
  }
  const bool noPointFields = pointFields->GetNumberOfArrays() == 0 && cellFields->GetNumberOfArrays() > 0;
  if (noPointFields || !cellOnly.empty()) {
    vtkNew<vtkCellDataToPointData> toPoints;
    toPoints->SetInputData(grid);
    if (!noPointFields) {
      toPoints->ProcessAllArraysOff();
      for (const std::string& name : cellOnly) toPoints->AddCellDataArray(name.c_str());
    }
    toPoints->Update();
    grid = vtkUnstructuredGrid::SafeDownCast(toPoints->GetOutput());
    if (!grid) return fail(path, "VTK could not convert the cell data to point data");
    if (noPointFields)
      mesh.notes.push_back("the grid has cell data only: converted to point data (average of the cells around each point)");
    else
      mesh.notes.push_back("cell field(s) " + quotedList(cellOnly) +
                           " converted to point data (average of the cells around each point)");
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
  if (uint64_t(n) >= (uint64_t(1) << 32)) return fail(path, "the grid has too many points");
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
    if (array->GetName() && std::string(array->GetName()) == vtkDataSetAttributes::GhostArrayName()) continue;
    if (skipIds && (array == pd->GetGlobalIds() || array == pd->GetPedigreeIds())) continue;
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

// Runs a reader whose output may have time steps and blocks: the step chosen, the blocks kept and
// merged, the grid converted.
bool readThrough(const std::string& path, vtkAlgorithm* reader, CapturedVtkOutput& captured,
                 const ReadOptions& options, TetMesh& mesh) {
  auto failed = [&](const char* when) {
    const std::string e = captured.firstError();
    if (reader->GetErrorCode() == 0 && e.empty()) return false;
    return !fail(path, std::string("VTK cannot ") + when + " it: " + (e.empty() ? "read error" : e));
  };
  std::vector<double> times;
  vtkInformation* info = reader->GetOutputInformation(0);
  if (info && info->Has(vtkStreamingDemandDrivenPipeline::TIME_STEPS())) {
    const int count = info->Length(vtkStreamingDemandDrivenPipeline::TIME_STEPS());
    const double* t = info->Get(vtkStreamingDemandDrivenPipeline::TIME_STEPS());
    if (t && count > 0) times.assign(t, t + count);
  }
  double time = 0;
  if (!chooseTime(path, times, options, time, mesh)) return false;
  if (times.empty())
    reader->Update();
  else
    reader->UpdateTimeStep(time);
  if (failed("read")) return false;
  std::vector<Leaf> leaves;
  collectLeaves(reader->GetOutputDataObject(0), {}, leaves);
  vtkSmartPointer<vtkUnstructuredGrid> grid;
  if (!mergeLeaves(path, std::move(leaves), options, mesh, grid)) return false;
  if (failed("merge the blocks of")) return false;
  return gridToMesh(path, grid, captured, true, mesh);
}

// The pieces of a .pvtu one by one, so that merging them joins the points they share.
bool readPieces(const std::string& path, vtkXMLPUnstructuredGridReader* reader, CapturedVtkOutput& captured,
                const std::vector<std::string>& names, std::vector<Leaf>& leaves) {
  const int pieces = std::max(1, reader->GetNumberOfPieces());
  for (int i = 0; i < pieces; ++i) {
    reader->UpdatePiece(i, pieces, 0);
    const std::string e = captured.firstError();
    if (reader->GetErrorCode() || !e.empty()) return fail(path, "VTK cannot read it: " + (e.empty() ? "read error" : e));
    auto piece = vtkSmartPointer<vtkUnstructuredGrid>::New();
    piece->ShallowCopy(reader->GetOutput());
    leaves.push_back({piece, names});
  }
  return true;
}

// A ParaView data collection: <DataSet timestep=".." part=".." name=".." file=".."/> entries; the
// files of the chosen step (.vtu, .pvtu or .vtk, beside the collection) are read and merged.
bool readPvd(const std::string& path, CapturedVtkOutput& captured, const ReadOptions& options, TetMesh& mesh) {
  vtkNew<vtkXMLDataParser> parser;
  parser->SetFileName(path.c_str());
  if (!parser->Parse()) {
    const std::string e = captured.firstError();
    return fail(path, "not a readable XML file" + (e.empty() ? std::string() : ": " + e));
  }
  vtkXMLDataElement* root = parser->GetRootElement();
  if (!root || std::string(root->GetName() ? root->GetName() : "") != "VTKFile" || !root->GetAttribute("type") ||
      std::string(root->GetAttribute("type")) != "Collection")
    return fail(path, "not a VTK data collection (<VTKFile type=\"Collection\">)");
  vtkXMLDataElement* collection = root->FindNestedElementWithName("Collection");
  if (!collection) return fail(path, "the collection has no <Collection> element");
  struct Entry {
    double time;
    bool timed;
    std::string name, file;
  };
  std::vector<Entry> entries;
  for (int i = 0; i < collection->GetNumberOfNestedElements(); ++i) {
    vtkXMLDataElement* e = collection->GetNestedElement(i);
    if (!e->GetName() || std::string(e->GetName()) != "DataSet") continue;
    const char* file = e->GetAttribute("file");
    if (!file || !*file) return fail(path, "DataSet " + std::to_string(i) + " names no file");
    Entry entry{0, false, std::string(), file};
    if (const char* t = e->GetAttribute("timestep")) {
      char* end = nullptr;
      entry.time = std::strtod(t, &end);
      if (end == t || *end || !std::isfinite(entry.time)) return fail(path, "DataSet " + std::to_string(i) + " has a bad timestep \"" + t + "\"");
      entry.timed = true;
    }
    if (const char* n = e->GetAttribute("name"))
      entry.name = n;
    else if (const char* part = e->GetAttribute("part"))
      entry.name = std::string("part ") + part;
    entries.push_back(entry);
  }
  if (entries.empty()) return fail(path, "the collection lists no data sets");
  std::vector<double> times;
  for (const Entry& e : entries)
    if (e.timed) times.push_back(e.time);
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  double time = 0;
  if (!chooseTime(path, times, options, time, mesh)) return false;
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::vector<Leaf> leaves;
  bool pieces = false;
  for (const Entry& e : entries) {
    if (!times.empty() && (!e.timed || e.time != time)) continue;
    const std::string file = e.file[0] == '/' ? e.file : dir + e.file;
    vtkSmartPointer<vtkDataSet> data;
    if (!endsWith(file, ".vtu") && !endsWith(file, ".pvtu") && !endsWith(file, ".vtk"))
      return fail(path, "the collection names " + e.file + "; only .vtu, .pvtu and .vtk files are read from it");
    if (!std::ifstream(file)) return fail(path, "cannot open " + file + ", which the collection names");
    std::vector<std::string> names;
    if (!e.name.empty()) names.push_back(e.name);
    if (endsWith(file, ".pvtu")) {
      vtkNew<vtkXMLPUnstructuredGridReader> reader;
      if (!reader->CanReadFile(file.c_str())) return fail(path, file + " is not a VTK parallel XML unstructured grid");
      reader->SetFileName(file.c_str());
      reader->UpdateInformation();
      if (!readPieces(file, reader, captured, names, leaves)) return false;
      pieces = true;
      continue;
    } else if (endsWith(file, ".vtu")) {
      vtkNew<vtkXMLUnstructuredGridReader> reader;
      if (!reader->CanReadFile(file.c_str())) return fail(path, file + " is not a VTK XML unstructured grid");
      reader->SetFileName(file.c_str());
      reader->Update();
      data = reader->GetOutput();
    } else if (endsWith(file, ".vtk")) {
      vtkNew<vtkUnstructuredGridReader> reader;
      reader->SetFileName(file.c_str());
      if (!reader->IsFileUnstructuredGrid()) return fail(path, file + " is not a VTK unstructured grid");
      reader->ReadAllScalarsOn();
      reader->ReadAllVectorsOn();
      reader->ReadAllFieldsOn();
      reader->Update();
      data = reader->GetOutput();
    } else {
      return fail(path, "the collection names " + e.file + "; only .vtu, .pvtu and .vtk files are read from it");
    }
    const std::string err = captured.firstError();
    if (!err.empty()) return fail(path, "VTK cannot read " + file + ": " + err);
    leaves.push_back({data, names});
  }
  vtkSmartPointer<vtkUnstructuredGrid> grid;
  // Unnamed parts or pieces: no block names to offer.
  bool named = false;
  for (const Leaf& l : leaves) named = named || !l.names.empty();
  if (!mergeLeaves(path, std::move(leaves), options, mesh, grid, pieces && !named)) return false;
  return gridToMesh(path, grid, captured, true, mesh);
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
  return gridToMesh(path, grid, captured, false, mesh);
}

bool readVtkFormat(const std::string& path, const ReadOptions& options, TetMesh& mesh) {
  mesh = TetMesh();
  const bool foamFile = endsWith(path, "controldict") || endsWith(path, ".foam");
  if (!std::ifstream(path)) {
    pk::ErrorLine() << "cannot open " << path;
    return false;
  }
  CapturedVtkOutput captured;
  auto infoFailed = [&](vtkAlgorithm* reader) {
    reader->UpdateInformation();
    const std::string e = captured.firstError();
    if (reader->GetErrorCode() == 0 && e.empty()) return false;
    return !fail(path, "VTK cannot read it: " + (e.empty() ? "read error" : e));
  };
  if (endsWith(path, ".pvd")) return readPvd(path, captured, options, mesh);
  if (endsWith(path, ".pvtu")) {
    vtkNew<vtkXMLPUnstructuredGridReader> reader;
    if (!reader->CanReadFile(path.c_str())) return fail(path, "not a VTK parallel XML unstructured grid");
    reader->SetFileName(path.c_str());
    if (infoFailed(reader)) return false;
    double unused;
    if (!chooseTime(path, {}, options, unused, mesh)) return false;
    std::vector<Leaf> leaves;
    if (!readPieces(path, reader, captured, {}, leaves)) return false;
    vtkSmartPointer<vtkUnstructuredGrid> grid;
    if (!mergeLeaves(path, std::move(leaves), options, mesh, grid, true)) return false;
    return gridToMesh(path, grid, captured, true, mesh);
  }
  if (foamFile) {
    vtkNew<vtkOpenFOAMReader> reader;
    reader->SetFileName(path.c_str());
    reader->SkipZeroTimeOff();
    if (infoFailed(reader)) return false;
    // The cells only: boundary patches are surfaces.
    reader->DisableAllPatchArrays();
    reader->SetPatchArrayStatus("internalMesh", 1);
    reader->EnableAllCellArrays();
    reader->EnableAllPointArrays();
    return readThrough(path, reader, captured, options, mesh);
  }
  if (endsWith(path, ".cgns")) {
    vtkNew<vtkCGNSReader> reader;
    if (!reader->CanReadFile(path.c_str())) return fail(path, "not a CGNS file");
    reader->SetFileName(path.c_str());
    if (infoFailed(reader)) return false;
    reader->EnableAllBases();
    reader->EnableAllPointArrays();
    reader->EnableAllCellArrays();
    return readThrough(path, reader, captured, options, mesh);
  }
  if (endsWith(path, ".case")) {
    vtkNew<vtkGenericEnSightReader> reader;
    reader->SetCaseFileName(path.c_str());
    if (infoFailed(reader)) return false;
    reader->ReadAllVariablesOn();
    return readThrough(path, reader, captured, options, mesh);
  }
  if (endsWith(path, ".cas")) {
    const std::string data = path.substr(0, path.size() - 4) + ".dat";
    if (!std::ifstream(data)) return fail(path, "the Fluent data file " + data + " is missing");
    vtkNew<vtkFLUENTReader> reader;
    reader->SetFileName(path.c_str());
    if (infoFailed(reader)) return false;
    reader->EnableAllCellArrays();
    return readThrough(path, reader, captured, options, mesh);
  }
  // Exodus II: a NetCDF (classic or 64-bit) or HDF5 file. Checked here first, since the Exodus
  // library prints its own complaints about other files.
  {
    char magic[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::ifstream in(path, std::ios::binary);
    in.read(magic, sizeof magic);
    const std::string m(magic, sizeof magic);
    const bool netcdf = m.compare(0, 3, "CDF") == 0 && (m[3] == 1 || m[3] == 2 || m[3] == 5);
    if (!netcdf && m != std::string("\x89HDF\r\n\x1a\n", 8)) return fail(path, "not an Exodus II file");
  }
  vtkNew<vtkExodusIIReader> reader;
  if (!reader->CanReadFile(path.c_str())) return fail(path, "not an Exodus II file");
  reader->SetFileName(path.c_str());
  if (infoFailed(reader)) return false;
  reader->SetAllArrayStatus(vtkExodusIIReader::NODAL, 1);
  reader->SetAllArrayStatus(vtkExodusIIReader::ELEM_BLOCK, 1);
  reader->GenerateObjectIdCellArrayOff();
  reader->GenerateGlobalElementIdArrayOff();
  reader->GenerateGlobalNodeIdArrayOff();
  reader->GenerateImplicitElementIdArrayOff();
  reader->GenerateImplicitNodeIdArrayOff();
  reader->GenerateFileIdArrayOff();
  return readThrough(path, reader, captured, options, mesh);
}

bool splitVolumeCells(const std::string& path, TetMesh& mesh) {
  auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  points->SetDataTypeToDouble();
  points->SetNumberOfPoints(vtkIdType(mesh.vertexCount()));
  for (size_t v = 0; v < mesh.vertexCount(); ++v) points->SetPoint(vtkIdType(v), &mesh.points[3 * v]);
  grid->SetPoints(points);
  grid->AllocateEstimate(vtkIdType(mesh.cellShapes.size()), 8);
  size_t at = 0;
  for (CellShape shape : mesh.cellShapes) {
    const int n = cornerCount(shape);
    if (at + size_t(n) > mesh.cellCorners.size()) return fail(path, "the volume cells' corners are incomplete");
    vtkIdType ids[8];
    for (int k = 0; k < n; ++k) {
      if (mesh.cellCorners[at + size_t(k)] >= mesh.vertexCount()) return fail(path, "a volume cell refers to a missing node");
      ids[k] = vtkIdType(mesh.cellCorners[at + size_t(k)]);
    }
    at += size_t(n);
    const int type = shape == CellShape::Tetrahedron ? VTK_TETRA
                     : shape == CellShape::Hexahedron ? VTK_HEXAHEDRON
                     : shape == CellShape::Prism      ? VTK_WEDGE
                                                      : VTK_PYRAMID;
    grid->InsertNextCell(type, n, ids);
  }
  for (const MeshField& f : mesh.fields) {
    vtkNew<vtkDoubleArray> array;
    array->SetName(f.name.c_str());
    array->SetNumberOfComponents(f.components);
    array->SetNumberOfTuples(vtkIdType(mesh.vertexCount()));
    if (f.values.size() != mesh.vertexCount() * size_t(f.components)) return fail(path, "field \"" + f.name + "\" does not have one value per node");
    for (size_t i = 0; i < f.values.size(); ++i) array->SetValue(vtkIdType(i), f.values[i]);
    grid->GetPointData()->AddArray(array);
  }
  TetMesh split;
  split.notes = std::move(mesh.notes);
  CapturedVtkOutput captured;
  if (!gridToMesh(path, grid, captured, false, split)) {
    mesh = TetMesh();
    return false;
  }
  mesh = std::move(split);
  return true;
}

} // namespace vxb
