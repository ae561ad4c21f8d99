// The builder's own mesh parsers (TetGen, Gmsh 2.2 and 4.1), the field choice, and the checks
// that every input goes through before it is laid out.
#include "CaptureOutput.h"
#include "meshimport/MeshPrep.h"
#include "meshimport/MeshReaders.h"
#include "PkDiag.h"
#include "ToolTestSupport.h"

#include <cmath>

using namespace vxb;

namespace {

// Two tetrahedra sharing the face (1, 2, 3), both positively oriented, one scalar attribute.
const char* kNode = "# two tetrahedra\n5 3 1 0\n0 0 0 0 0.0\n1 1 0 0 0.5\n2 0 1 0 0.25\n3 0 0 1 1.0\n4 1 1 1 0.75\n";
const char* kEle = "2 4 0\n0 0 1 2 3\n1 1 2 3 4\n";

std::string gmsh22(const std::string& elements, const std::string& data) {
  return "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n5\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n5 1 1 1\n$EndNodes\n"
         "$Elements\n" + elements + "$EndElements\n" + data;
}
const char* kElements22 = "3\n1 2 2 0 1 1 2 3\n2 4 2 0 1 1 2 3 4\n3 4 2 0 1 2 3 4 5\n";
std::string nodeData(const std::string& name, const std::string& values, int count = 5, int components = 1) {
  return "$NodeData\n1\n\"" + name + "\"\n1\n0.0\n3\n0\n" + std::to_string(components) + "\n" + std::to_string(count) +
         "\n" + values + "$EndNodeData\n";
}
const char* kValues = "1 0.0\n2 0.5\n3 0.25\n4 1.0\n5 0.75\n";

const char* kGmsh41 =
    "$MeshFormat\n4.1 0 8\n$EndMeshFormat\n$Entities\n0 0 0 1\n1 0 0 0 1 1 1 0 0\n$EndEntities\n"
    "$Nodes\n1 5 1 5\n3 1 0 5\n1\n2\n3\n4\n5\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 1 1\n$EndNodes\n"
    "$Elements\n1 2 1 2\n3 1 4 2\n1 1 2 3 4\n2 2 3 4 5\n$EndElements\n";

void expectTwoTets(const TetMesh& m) {
  ASSERT_EQ(m.vertexCount(), 5u);
  ASSERT_EQ(m.tetCount(), 2u);
  EXPECT_EQ(std::vector<uint32_t>(m.tets.begin(), m.tets.end()), (std::vector<uint32_t>{0, 1, 2, 3, 1, 2, 3, 4}));
  EXPECT_EQ(m.points[3 * 4 + 2], 1.0);
  ASSERT_EQ(m.fields.size(), 1u);
  EXPECT_EQ(m.fields[0].values, (std::vector<double>{0.0, 0.5, 0.25, 1.0, 0.75}));
}

// Reads `path` with readMesh and returns the error text (empty when it succeeded).
std::string readError(const std::string& path, TetMesh& m) {
  bool ok = false;
  const std::string err = captureStderr([&] { ok = readMesh(path, m); });
  return ok ? std::string() : err;
}

} // namespace

TEST(TetGenReader, ReadsNodesElementsAndAttributes) {
  ScratchDir dir;
  dir.write("m.node", kNode);
  dir.write("m.ele", kEle);
  TetMesh m;
  ASSERT_EQ(readError(dir.file("m.ele"), m), "");
  expectTwoTets(m);
  EXPECT_EQ(m.fields[0].name, "attribute0");
  // One-based numbering, a region attribute, boundary markers and quadratic tetrahedra.
  dir.write("q.node", "5 3 1 1\n1 0 0 0 0.0 1\n2 1 0 0 0.5 1\n3 0 1 0 0.25 0\n4 0 0 1 1.0 1\n5 1 1 1 0.75 1\n");
  dir.write("q.ele", "2 10 1\n1 1 2 3 4 1 2 3 4 5 5 7\n2 2 3 4 5 1 1 1 1 1 1 7\n");
  ASSERT_EQ(readError(dir.file("q.node"), m), "");
  expectTwoTets(m);
  ASSERT_EQ(m.notes.size(), 1u);
}

TEST(TetGenReader, RefusesBrokenFiles) {
  ScratchDir dir;
  const struct {
    const char* node;
    const char* ele;
    const char* message;
  } cases[] = {
      {kNode, "2 4 0\n0 0 1 2 3\n1 1 2 3 5\n", "m.ele:3: node 5 of tetrahedron 1 is not in the .node file (0 .. 4)"},
      {kNode, "2 4 0\n0 0 1 2 3\n1 1 2 -1 4\n", "node -1 of tetrahedron 1 is not in the .node file"},
      {kNode, "2 3 0\n0 0 1 2\n1 1 2 3\n", "m.ele:1: only tetrahedra with 4 or 10 nodes are supported, not 3"},
      {kNode, "2 4 0\n0 0 1 2 3\n", "m.ele: ends after 1 of 2 tetrahedra"},
      {kNode, "2 4 0\n0 0 1 2 3\n1 1 2 3\n", "m.ele:3: expected 5 values, found 4"},
      {kNode, "3000000000 4 0\n0 0 1 2 3\n", "m.ele:1: the number of tetrahedra must be between 1 and 2^31"},
      {kNode, "2000000000 4 0\n0 0 1 2 3\n", "m.ele: ends after 1 of 2000000000 tetrahedra"},
      {"5 2 1 0\n", kEle, "m.node:1: the dimension must be 3, not 2"},
      {"5 3 1 0\n0 0 0 0 0\n1 1 0 0 0\n3 0 1 0 0\n", kEle, "m.node:4: point numbers must be consecutive: expected 2, found 3"},
      {"5 3 1 0\n0 0 0 0 0\n1 1 0 x 0\n", kEle, "m.node:3: expected a finite coordinate, found \"x\""},
      {"5 3 1 0\n0 0 0 0 0\n1 1 0 inf 0\n", kEle, "expected a finite coordinate, found \"inf\""},
      {"5 3 1 0\n0 0 0 0 0 7\n", kEle, "m.node:2: expected 5 values (number, x, y, z, attributes), found 6"},
      {"", kEle, "m.node: empty file"},
  };
  for (const auto& c : cases) {
    dir.write("m.node", c.node);
    dir.write("m.ele", c.ele);
    TetMesh m;
    const std::string err = readError(dir.file("m.node"), m);
    EXPECT_NE(err.find(c.message), std::string::npos) << "expected \"" << c.message << "\", got " << err;
    EXPECT_EQ(err.rfind("\033[31mERROR:\033[0m ", 0), 0u) << err;
  }
  TetMesh m;
  EXPECT_NE(readError(dir.file("missing.node"), m).find("cannot open " + dir.file("missing.node")), std::string::npos);
}

TEST(GmshReader, ReadsVersion22And41) {
  ScratchDir dir;
  TetMesh m;
  ASSERT_EQ(readError(dir.write("a.msh", gmsh22(kElements22, nodeData("temperature", kValues))), m), "");
  expectTwoTets(m);
  EXPECT_EQ(m.fields[0].name, "temperature");
  EXPECT_EQ(m.notes.size(), 1u); // the triangle was skipped
  ASSERT_EQ(readError(dir.write("b.msh", std::string(kGmsh41) + nodeData("temperature", kValues)), m), "");
  expectTwoTets(m);
  // A later time step of the same field replaces the earlier one; a second field is kept apart; a
  // vector field keeps its components.
  const std::string two = nodeData("t", "1 9\n2 9\n3 9\n4 9\n5 9\n") + nodeData("t", kValues) +
                          nodeData("v", "1 1 0 0\n2 0 1 0\n3 0 0 1\n4 1 1 1\n5 2 2 2\n", 5, 3);
  ASSERT_EQ(readError(dir.write("c.msh", gmsh22(kElements22, two)), m), "");
  ASSERT_EQ(m.fields.size(), 2u);
  EXPECT_EQ(m.fields[0].values, (std::vector<double>{0.0, 0.5, 0.25, 1.0, 0.75}));
  EXPECT_EQ(m.fields[1].components, 3);
  // Sparse node tags.
  const std::string sparse =
      "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n4\n10 0 0 0\n2000000000 1 0 0\n30 0 1 0\n40 0 0 1\n$EndNodes\n"
      "$Elements\n1\n7 4 0 10 2000000000 30 40\n$EndElements\n" +
      nodeData("f", "10 1\n2000000000 2\n30 3\n40 4\n", 4);
  ASSERT_EQ(readError(dir.write("d.msh", sparse), m), "");
  EXPECT_EQ(m.tets, (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(GmshReader, KeepsOtherVolumeElementsByTheirCornersInOrder) {
  // A tetrahedron, a hexahedron, a prism, a pyramid and a 27-node hexahedron (its corners first), in
  // format 2.2 and 4.1: all volume cells in file order, the prism's first triangle turned to face
  // away from the second as in VTK.
  std::string nodes;
  for (int i = 1; i <= 27; ++i) nodes += std::to_string(i) + " " + std::to_string(i % 3) + " " + std::to_string(i / 3 % 3) + " " + std::to_string(i / 9) + "\n";
  std::string quadratic;
  for (int i = 27; i >= 1; --i) quadratic += " " + std::to_string(i);
  const std::string v22 = "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n27\n" + nodes + "$EndNodes\n$Elements\n6\n"
                          "1 4 0 1 2 3 4\n2 5 0 1 2 3 4 5 6 7 8\n3 2 0 1 2 3\n4 6 0 1 2 3 4 5 6\n5 7 0 5 4 3 2 1\n"
                          "6 12 0" + quadratic + "\n$EndElements\n";
  std::string tags, coords;
  for (int i = 1; i <= 27; ++i) {
    tags += std::to_string(i) + "\n";
    coords += std::to_string(i % 3) + " " + std::to_string(i / 3 % 3) + " " + std::to_string(i / 9) + "\n";
  }
  const std::string v41 = "$MeshFormat\n4.1 0 8\n$EndMeshFormat\n$Nodes\n1 27 1 27\n3 1 0 27\n" + tags + coords +
                          "$EndNodes\n$Elements\n6 6 1 6\n3 1 4 1\n1 1 2 3 4\n3 1 5 1\n2 1 2 3 4 5 6 7 8\n"
                          "2 1 2 1\n3 1 2 3\n3 1 6 1\n4 1 2 3 4 5 6\n3 1 7 1\n5 5 4 3 2 1\n";
  const std::string v41end = "3 1 12 1\n6" + quadratic + "\n$EndElements\n";
  ScratchDir dir;
  for (const std::string& text : {v22, v41 + v41end}) {
    TetMesh m;
    bool ok = false;
    const std::string err = captureStderr([&] { ok = readGmsh(dir.write("m.msh", text), m); });
    ASSERT_TRUE(ok) << err;
    EXPECT_TRUE(m.tets.empty());
    EXPECT_EQ(m.cellShapes, (std::vector<CellShape>{CellShape::Tetrahedron, CellShape::Hexahedron, CellShape::Prism,
                                                    CellShape::Pyramid, CellShape::Hexahedron}));
    EXPECT_EQ(m.cellCorners, (std::vector<uint32_t>{0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 0, 2, 1, 3, 5, 4, 4, 3, 2, 1, 0,
                                                    26, 25, 24, 23, 22, 21, 20, 19}));
    EXPECT_EQ(m.notes, (std::vector<std::string>{"1 point, line and surface elements skipped",
                                                 "higher-order elements: their corner nodes are used"}));
  }
}

TEST(GmshReader, RefusesBrokenFiles) {
  ScratchDir dir;
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {gmsh22("2\n1 4 2 0 1 1 2 3 4\n2 5 2 0 1 1 2 3 4 5 1 2 6\n", nodeData("t", kValues)),
       "element 2 refers to node 6, which is not defined"},
      {gmsh22("1\n1 4 2 0 1 1 2 3 9\n", nodeData("t", kValues)), "element 1 refers to node 9, which is not defined"},
      {gmsh22("1\n1 4 2 0 1 1 2 3\n", nodeData("t", kValues)), "expected 9 values, found 8"},
      {gmsh22("1\n1 99 2 0 1 1 2 3\n", ""), "element 1 has the unknown type 99"},
      {gmsh22(kElements22, nodeData("t", "1 0\n2 0\n3 0\n4 0\n", 4)), "field \"t\" has no value for a node of the volume elements"},
      {gmsh22(kElements22, nodeData("t", "1 0\n2 0\n3 0\n4 0\n7 0\n")), "gives a value for node 7, which is not defined"},
      {gmsh22(kElements22, nodeData("t", "1 0\n1 0\n3 0\n4 0\n5 0\n")), "gives node 1 two values"},
      {gmsh22("1\n1 2 2 0 1 1 2 3\n", ""), "no volume elements among the elements"},
      {gmsh22("3\n1 4 2 0 1 1 2 3 4\n", ""), "m.msh:15: expected the element number, found \"$EndElements\""},
      {gmsh22(kElements22, nodeData("t", kValues).substr(0, 40)), "m.msh: ends early, expected a node value"},
      {"$MeshFormat\n2.2 1 8\n$EndMeshFormat\n", "binary .msh files are not supported"},
      {"$MeshFormat\n3.0 0 8\n$EndMeshFormat\n", "format version 3.0 is not supported (2.2 or 4.1 ASCII)"},
      {"solid\n", "not a Gmsh mesh: it does not start with $MeshFormat"},
      {"$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n2\n1 0 0 0\n1 1 0 0\n$EndNodes\n", "node 1 is defined twice"},
      {"$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n1\n1 0 0 nan\n$EndNodes\n", "expected a finite coordinate"},
      {"$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Comments\nno end\n", "section $Comments has no $EndComments"},
      {"$MeshFormat\n4.1 0 8\n$EndMeshFormat\n$Nodes\n1 5 1 5\n3 1 0 6\n", "the node blocks hold more nodes than the section header says"},
      {std::string(kGmsh41).replace(std::string(kGmsh41).find("1 2 1 2\n3 1 4 2"), 15, "1 2 1 2\n3 1 4 3"),
       "the element blocks hold more elements than the section header says"},
  };
  for (const auto& c : cases) {
    TetMesh m;
    const std::string err = readError(dir.write("m.msh", c.text), m);
    EXPECT_NE(err.find(c.message), std::string::npos) << "expected \"" << c.message << "\", got " << err;
  }
}

TEST(FieldChoice, PicksNamedFieldComponentOrMagnitude) {
  TetMesh m;
  m.points.assign(6, 0.0);
  m.fields.push_back({"p", 1, {1.0, 2.0}});
  m.fields.push_back({"v", 3, {3.0, 4.0, 0.0, 0.0, 0.0, 2.0}});
  std::vector<double> s;
  std::string label;
  ASSERT_TRUE(selectField(m, {}, s, label));
  EXPECT_EQ(s, (std::vector<double>{1.0, 2.0}));
  EXPECT_NE(label.find("first of"), std::string::npos);
  ASSERT_TRUE(selectField(m, {"v", 1, false}, s, label));
  EXPECT_EQ(s, (std::vector<double>{4.0, 0.0}));
  ASSERT_TRUE(selectField(m, {"v", -1, true}, s, label));
  EXPECT_EQ(s, (std::vector<double>{5.0, 2.0}));
  std::string err = captureStderr([&] { EXPECT_FALSE(selectField(m, {"v", -1, false}, s, label)); });
  EXPECT_EQ(err, pk::errorText("field \"v\" has 3 components; choose one with --component K or use --magnitude"));
  err = captureStderr([&] { EXPECT_FALSE(selectField(m, {"w", -1, false}, s, label)); });
  EXPECT_EQ(err, pk::errorText("no field \"w\" in the mesh; it has \"p\", \"v\" (3 components)"));
  err = captureStderr([&] { EXPECT_FALSE(selectField(m, {"p", 1, false}, s, label)); });
  EXPECT_EQ(err, pk::errorText("field \"p\" has 1 component; there is no component 1"));
}

TEST(PrepareMesh, TurnsInvertedAndDropsDegenerateCells) {
  // Two tetrahedra sharing the face (1, 2, 3); the second given in both orientations, and a third
  // without volume given with a repeated corner or with four coplanar corners.
  TetMesh m;
  m.points = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0};
  const std::vector<double> values = {0.0, 0.5, 0.25, 1.0, 0.75, 0.5};
  PreparedMesh p;
  for (const std::vector<uint32_t>& second : {std::vector<uint32_t>{1, 2, 3, 4}, std::vector<uint32_t>{1, 3, 2, 4}}) {
    m.tets = {0, 1, 2, 3};
    m.tets.insert(m.tets.end(), second.begin(), second.end());
    ASSERT_TRUE(prepareMesh(m, values, false, p));
    EXPECT_EQ(p.turnedTets, second[1] == 3 ? 1u : 0u);
    EXPECT_EQ(p.degenerateTets, 0u);
    EXPECT_EQ(p.tetCount(), 2u);
    EXPECT_EQ(p.droppedVertices, 1u);
  }
  for (const std::vector<uint32_t>& flat : {std::vector<uint32_t>{1, 2, 2, 4}, std::vector<uint32_t>{0, 1, 2, 5}}) {
    m.tets = {0, 1, 2, 3, 1, 3, 2, 4};
    m.tets.insert(m.tets.end(), flat.begin(), flat.end());
    ASSERT_TRUE(prepareMesh(m, values, false, p));
    EXPECT_EQ(p.degenerateTets, 1u);
    EXPECT_EQ(p.turnedTets, 1u);
    EXPECT_EQ(p.tetCount(), 2u);
  }
  // The cell dropped was the only one to use vertex 5.
  EXPECT_EQ(p.droppedVertices, 1u);
  EXPECT_EQ(p.vertexCount(), 5u);
}

TEST(PrepareMesh, RefusesBrokenMeshesAndBadValues) {
  TetMesh good;
  good.points = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, 0.2, 0.2, 0.2};
  good.tets = {0, 1, 2, 3, 1, 2, 3, 4};
  const std::vector<double> values = {0.0, 0.5, 0.25, 1.0, 0.75, 0.3};
  PreparedMesh p;
  ASSERT_TRUE(prepareMesh(good, values, false, p));

  struct Case {
    std::vector<double> points;
    std::vector<uint32_t> tets;
    std::vector<double> values;
    const char* message;
  };
  const Case cases[] = {
      {good.points, good.tets, {0.0, 0.5, NAN, 1.0, 0.75, 0}, "the field has the value NaN at vertex 2"},
      {good.points, good.tets, {0.0, 0.5, INFINITY, 1.0, 0.75, 0}, "the field has the value +infinity at vertex 2"},
      {good.points, good.tets, {2, 2, 2, 2, 2, 2}, "the field is constant (2) on the mesh"},
      {good.points, {0, 1, 2, 3, 1, 2, 3, 9}, values, "a tetrahedron refers to vertex 9, but the mesh has 6 vertices"},
      {good.points, {0, 1, 2, 2, 1, 1, 3, 4}, values, "all 2 tetrahedra are degenerate"},
      // The same cell twice, in either orientation.
      {good.points, {0, 1, 2, 3, 0, 2, 1, 3}, values,
       "the mesh overlaps itself: at 4 face(s) the two tetrahedra lie on the same side of their common face (the first: tetrahedra 0 and 1)"},
      // Vertex 5 lies inside tetrahedron 0: the cell (1, 2, 3, 5) folds back over it.
      {good.points, {0, 1, 2, 3, 1, 2, 3, 5}, values, "the mesh overlaps itself: at 1 face(s)"},
      // A fin: three cells around one face.
      {{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, -1, -1, -1}, {0, 1, 2, 3, 1, 2, 3, 4, 1, 2, 3, 5}, values,
       "a face is shared by 3 tetrahedra (0, 1, 2)"},
  };
  for (const Case& c : cases) {
    TetMesh m = good;
    m.points = c.points;
    m.tets = c.tets;
    const std::string err = captureStderr([&] { EXPECT_FALSE(prepareMesh(m, c.values, false, p)); });
    EXPECT_NE(err.find(c.message), std::string::npos) << "expected \"" << c.message << "\", got " << err;
  }
}

TEST(PrepareMesh, NormalisesCentresAndOrdersByValue) {
  TetMesh m;
  // An unused vertex (index 2), a box from (10, 20, 30) to (12, 22, 32).
  m.points = {10, 20, 30, 12, 20, 30, 99, 99, 99, 10, 22, 30, 10, 20, 32};
  m.tets = {0, 1, 3, 4};
  PreparedMesh p;
  ASSERT_TRUE(prepareMesh(m, {5.0, 3.0, 100.0, 7.0, 4.0}, false, p));
  EXPECT_EQ(p.droppedVertices, 1u);
  EXPECT_EQ(p.dataMin, 3.0);
  EXPECT_EQ(p.dataMax, 7.0);
  EXPECT_EQ(p.values, (std::vector<float>{0.5f, 0.0f, 1.0f, 0.25f}));
  EXPECT_EQ(p.positions[0], -1.0f);
  EXPECT_EQ(p.boxMin[1], -1.0f);
  EXPECT_EQ(p.boxMax[2], 1.0f);
  // Ascending value: vertex 1 (0), 3 (0.25), 0 (0.5), 2 (1).
  EXPECT_EQ(p.tets, (std::vector<uint32_t>{1, 3, 0, 2}));
  // One cell: every vertex gets the cell's gradient of the normalised field.
  for (size_t v = 0; v < 4; ++v) {
    EXPECT_NEAR(p.gradients[3 * v + 0], -0.25, 1e-6);
    EXPECT_NEAR(p.gradients[3 * v + 1], 0.25, 1e-6);
    EXPECT_NEAR(p.gradients[3 * v + 2], -0.125, 1e-6);
  }
  ASSERT_TRUE(prepareMesh(m, {5.0, 3.0, 100.0, 7.0, 4.0}, true, p));
  EXPECT_EQ(p.positions[0], 10.0f);
}

TEST(MeshReaders, EveryPrefixAndByteChangeIsHandled) {
  // Cut short anywhere, or with one byte changed, a file is read or refused with an error line;
  // never a crash, a silent failure or a tetrahedron that names a missing vertex.
  ScratchDir dir;
  const std::string gmsh2 = gmsh22(kElements22, nodeData("temperature", kValues));
  const std::string gmsh4 = std::string(kGmsh41) + nodeData("temperature", kValues);
  const struct {
    std::string name, text, companion, companionText;
  } files[] = {{"a.msh", gmsh2, "", ""}, {"b.msh", gmsh4, "", ""}, {"m.node", kNode, "m.ele", kEle}, {"m.ele", kEle, "m.node", kNode}};
  const char replacements[] = {'0', '9', '-', ' ', '\n', '$', 'x'};
  for (const auto& f : files) {
    if (!f.companion.empty()) dir.write(f.companion, f.companionText);
    auto check = [&](const std::string& text) {
      dir.write(f.name, text);
      TetMesh m;
      bool ok = false;
      const std::string err = captureStderr([&] { ok = readMesh(dir.file(f.name), m); });
      if (!ok) {
        EXPECT_EQ(err.rfind("\033[31mERROR:\033[0m ", 0), 0u) << f.name << ": " << text;
        return;
      }
      for (uint32_t v : m.tets) ASSERT_LT(v, m.vertexCount());
      for (const MeshField& field : m.fields) ASSERT_EQ(field.values.size(), m.vertexCount() * size_t(field.components));
    };
    for (size_t n = 0; n < f.text.size(); ++n) check(f.text.substr(0, n));
    for (size_t i = 0; i < f.text.size(); i += 3)
      for (char c : replacements) {
        std::string t = f.text;
        t[i] = c;
        check(t);
      }
  }
}
