#include "meshimport/Mesh.h"

#include "PkDiag.h"

#include <cmath>
#include <sstream>

namespace vxb {

namespace {

std::string fieldList(const TetMesh& mesh) {
  std::ostringstream s;
  for (size_t i = 0; i < mesh.fields.size(); ++i) {
    if (i) s << ", ";
    s << '"' << mesh.fields[i].name << '"';
    if (mesh.fields[i].components != 1) s << " (" << mesh.fields[i].components << " components)";
  }
  return s.str();
}

} // namespace

int cornerCount(CellShape shape) {
  switch (shape) {
  case CellShape::Tetrahedron: return 4;
  case CellShape::Hexahedron: return 8;
  case CellShape::Prism: return 6;
  case CellShape::Pyramid: return 5;
  }
  return 0;
}

bool selectField(const TetMesh& mesh, const FieldChoice& choice, std::vector<double>& scalar,
                 std::string& label) {
  if (mesh.fields.empty()) {
    pk::error("the mesh has no point field to extract surfaces from");
    return false;
  }
  const MeshField* field = nullptr;
  if (choice.name.empty()) {
    field = &mesh.fields.front();
  } else {
    for (const MeshField& f : mesh.fields)
      if (f.name == choice.name) {
        field = &f;
        break;
      }
    if (!field) {
      pk::ErrorLine() << "no field \"" << choice.name << "\" in the mesh; it has " << fieldList(mesh);
      return false;
    }
  }
  const size_t n = mesh.vertexCount();
  const int k = field->components;
  if (k < 1 || field->values.size() != n * size_t(k)) {
    pk::ErrorLine() << "field \"" << field->name << "\" does not have one value per vertex";
    return false;
  }
  std::ostringstream text;
  text << '"' << field->name << '"';
  scalar.resize(n);
  if (choice.component >= 0) {
    if (choice.component >= k) {
      pk::ErrorLine() << "field \"" << field->name << "\" has " << k << " component"
                      << (k == 1 ? "" : "s") << "; there is no component " << choice.component;
      return false;
    }
    for (size_t i = 0; i < n; ++i) scalar[i] = field->values[i * k + choice.component];
    text << " component " << choice.component;
  } else if (choice.magnitude || k == 1) {
    for (size_t i = 0; i < n; ++i) {
      double s = 0;
      for (int c = 0; c < k; ++c) s += field->values[i * k + c] * field->values[i * k + c];
      scalar[i] = k == 1 ? field->values[i] : std::sqrt(s);
    }
    if (k != 1) text << " magnitude";
  } else {
    pk::ErrorLine() << "field \"" << field->name << "\" has " << k
                    << " components; choose one with --component K or use --magnitude";
    return false;
  }
  if (choice.name.empty() && mesh.fields.size() > 1) text << " (first of " << fieldList(mesh) << ")";
  label = text.str();
  return true;
}

} // namespace vxb
