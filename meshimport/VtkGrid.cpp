#include "meshimport/VtkGrid.h"

#include <vtkCellArray.h>
#include <vtkFloatArray.h>
#include <vtkIdTypeArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>

namespace vxb {

vtkSmartPointer<vtkUnstructuredGrid> vtkGridOf(const PreparedMesh& mesh) {
  auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
  vtkNew<vtkPoints> points;
  points->SetDataTypeToFloat();
  points->SetNumberOfPoints(vtkIdType(mesh.vertexCount()));
  for (std::size_t v = 0; v < mesh.vertexCount(); ++v)
    points->SetPoint(vtkIdType(v), mesh.positions[3 * v], mesh.positions[3 * v + 1], mesh.positions[3 * v + 2]);
  grid->SetPoints(points);

  const vtkIdType tets = vtkIdType(mesh.tetCount());
  vtkNew<vtkIdTypeArray> offsets, connectivity;
  offsets->SetNumberOfValues(tets + 1);
  connectivity->SetNumberOfValues(4 * tets);
  for (vtkIdType t = 0; t <= tets; ++t) offsets->SetValue(t, 4 * t);
  for (vtkIdType i = 0; i < 4 * tets; ++i) connectivity->SetValue(i, vtkIdType(mesh.tets[std::size_t(i)]));
  vtkNew<vtkCellArray> cells;
  cells->SetData(offsets, connectivity);
  grid->SetCells(VTK_TETRA, cells);

  vtkNew<vtkFloatArray> values;
  values->SetName("value");
  values->SetNumberOfValues(vtkIdType(mesh.vertexCount()));
  for (std::size_t v = 0; v < mesh.vertexCount(); ++v) values->SetValue(vtkIdType(v), mesh.values[v]);
  grid->GetPointData()->SetScalars(values);
  return grid;
}

} // namespace vxb
