// The vxbuild command from the outside: datasets the viewer's parsers accept, the summary, and
// bad input refused with a clear message, a non-zero status and no file left behind.
#include "datasetbuild/Builder.h"
#include "CacheFile.h"
#include "GeometryFile.h"
#include "PkDiag.h"
#include "ToolTestSupport.h"

namespace {

const char* kNode = "5 3 1 0\n0 0 0 0 0.0\n1 1 0 0 0.5\n2 0 1 0 0.25\n3 0 0 1 1.0\n4 1 1 1 0.75\n";
const char* kEle = "2 4 0\n0 0 1 2 3\n1 1 2 3 4\n";
const char* kMsh =
    "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n5\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n5 1 1 1\n$EndNodes\n"
    "$Elements\n2\n1 4 2 0 1 1 2 3 4\n2 4 2 0 1 2 3 4 5\n$EndElements\n"
    "$NodeData\n1\n\"T\"\n1\n0.0\n3\n0\n1\n5\n1 0.0\n2 0.5\n3 0.25\n4 1.0\n5 0.75\n$EndNodeData\n";

} // namespace

TEST(VxbuildCommand, SyntheticDatasetLoadsAndVerifies) {
  ScratchDir dir;
  const CommandResult r = runVxbuild({"--synthetic", "shell:8", "-o", "s.vx", "--verify"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"s.vx", "s.vx.cache", "s.vx.field"}));
  for (const char* text : {"vertices", "tetrahedra", "chunks", "per tetrahedron", "list 1 (inner)", "verify 0.5"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
  GeometryData geometry;
  ASSERT_TRUE(parseGeometryFile(dir.file("s.vx"), geometry));
  EXPECT_GT(geometry.triangleCount(0), 0u);
  EXPECT_GT(geometry.triangleCount(1), 0u);
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(dir.file("s.vx.cache"), 256, 256, cache));
  EXPECT_EQ(cache.header.textureWidth, 256u);
  EXPECT_FLOAT_EQ(cache.header.dataMin, 0.5f);
  EXPECT_FLOAT_EQ(cache.header.dataMax, 1.0f);
  EXPECT_NEAR(cache.header.box.centre.x, 0.0f, 1e-6);
  EXPECT_NEAR(cache.header.box.halfExtent.x, 1.0f, 0.01);
  EXPECT_EQ(geometry.vertices.size(), cache.chunks[0].vertexCount - 1); // one chunk, plus its sentinel
}

TEST(VxbuildCommand, MeshFilesKeepOriginAndQuiet) {
  ScratchDir dir;
  dir.write("m.node", kNode);
  dir.write("m.ele", kEle);
  dir.write("m.msh", kMsh);
  CommandResult r = runVxbuild({"m.node", "-o", "t.vx", "--keep-origin", "--quiet"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  CacheData cache;
  ASSERT_TRUE(parseCacheFile(dir.file("t.vx.cache"), 256, 256, cache));
  EXPECT_FLOAT_EQ(cache.header.box.centre.x, 0.5f); // not moved to the origin
  r = runVxbuild({"m.msh", "-o", "g.vx", "--field", "T", "--verify"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"T\", range [0, 1]"), std::string::npos) << r.out;
  EXPECT_EQ(readText(dir.file("g.vx.field")), "name=T\nmin=0\nmax=1\n");
  GeometryData geometry;
  ASSERT_TRUE(parseGeometryFile(dir.file("g.vx"), geometry));
  EXPECT_EQ(geometry.triangleCount(0), 6u); // the two tetrahedra's outer faces
  EXPECT_EQ(geometry.vertices[0].x, -0.5f);  // centred
}

TEST(VxbuildCommand, FieldFunctionReplacesTheMeshsFieldOrSuppliesOne) {
  ScratchDir dir;
  dir.write("m.msh", kMsh);
  // The same mesh without its field: refused alone, built with a field function.
  const std::string msh(kMsh);
  dir.write("bare.msh", msh.substr(0, msh.find("$NodeData")));
  CommandResult r = runVxbuild({"bare.msh", "-o", "b.vx"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no point field"), std::string::npos) << r.err;
  for (const char* input : {"bare.msh", "m.msh"}) {
    r = runVxbuild({input, "-o", "f.vx", "--field-function", "smooth", "--verify"}, dir.path());
    ASSERT_EQ(r.status, 0) << input << ": " << r.err;
    EXPECT_NE(r.out.find("function \"smooth\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\"T\""), std::string::npos) << r.out;
  }
}

TEST(VxbuildCommand, TurnedAndDroppedCellsAreNoted) {
  // The second tetrahedron is given in the other orientation, the third has a repeated corner.
  ScratchDir dir;
  dir.write("m.node", kNode);
  dir.write("m.ele", "3 4 0\n0 0 1 2 3\n1 1 3 2 4\n2 0 1 1 4\n");
  const CommandResult r = runVxbuild({"m.node", "-o", "t.vx", "--verify"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("note: 1 degenerate tetrahedra (no volume) dropped\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("note: 1 of 3 tetrahedra were oriented against the rest and are turned around\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("tetrahedra   2 (input 3)"), std::string::npos) << r.out;
  GeometryData geometry;
  ASSERT_TRUE(parseGeometryFile(dir.file("t.vx"), geometry));
  EXPECT_EQ(geometry.triangleCount(0), 6u);
}

TEST(VxbuildCommand, FieldFileKeepsNameAndInputRange) {
  // The range in full precision (the cache keeps it as float32 only), the component of a vector
  // field, and a name with a line break in it kept on one line.
  ScratchDir dir;
  dir.write("m.msh", "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n4\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n$EndNodes\n"
                     "$Elements\n1\n1 4 0 1 2 3 4\n$EndElements\n"
                     "$NodeData\n1\n\"velocity\"\n1\n0.0\n3\n0\n2\n4\n1 0.1 1e-300\n2 0.2 -7\n3 0.3 2\n4 1.0000001 0.5\n$EndNodeData\n");
  CommandResult r = runVxbuild({"m.msh", "-o", "v.vx", "--component", "0", "--quiet"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readText(dir.file("v.vx.field")), "name=velocity\ncomponent=0\nmin=0.1\nmax=1.0000001\n");
  r = runVxbuild({"m.msh", "-o", "w.vx", "--magnitude", "--quiet"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(readText(dir.file("w.vx.field")).find("name=velocity\nmagnitude=yes\nmin="), std::string::npos);
  vxb::FieldChoice plain;
  EXPECT_EQ(vxb::fieldFileText("a\nb\tc", plain, -1.5, 2), "name=a b c\nmin=-1.5\nmax=2\n");
}

TEST(VxbuildCommand, TextureAlone) {
  ScratchDir dir;
  const CommandResult r = runVxbuild({"--texture", "out.tex", "--quiet"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.list(), std::vector<std::string>{"out.tex"});
  EXPECT_EQ(fileSizeOf(dir.file("out.tex")), 16777216u);
}

TEST(VxbuildCommand, BadInputsFailCleanly) {
  struct Case {
    std::string name, node, ele, msh;
    std::vector<std::string> args;
    std::string message;
  };
  const std::string nanNode = "5 3 1 0\n0 0 0 0 0.0\n1 1 0 0 nan\n2 0 1 0 0.25\n3 0 0 1 1.0\n4 1 1 1 0.75\n";
  const std::string flatNode = "5 3 1 0\n0 0 0 0 0.0\n1 1 0 0 0.5\n2 0 1 0 0.25\n3 1 1 0 1.0\n4 1 1 1 0.75\n";
  const std::string noAttributes = "5 3 0 0\n0 0 0 0\n1 1 0 0\n2 0 1 0\n3 0 0 1\n4 1 1 1\n";
  const std::string hexMsh = std::string(kMsh).replace(std::string(kMsh).find("2\n1 4 2"), 7, "3\n9 5 2 0 1 1 2 3 4 5 1 2 7\n1 4 2");
  const Case cases[] = {
      {"index", kNode, "2 4 0\n0 0 1 2 3\n1 1 2 3 7\n", "", {"m.node"}, "node 7 of tetrahedron 1 is not in the .node file"},
      {"nan", nanNode, kEle, "", {"m.node"}, "the field has the value NaN at vertex 1"},
      {"flat", flatNode, "2 4 0\n0 0 1 2 3\n1 0 1 3 2\n", "", {"m.node"}, "all 2 tetrahedra are degenerate"},
      {"overlap", kNode, "2 4 0\n0 0 1 2 3\n1 0 2 1 3\n", "", {"m.node"}, "the mesh overlaps itself"},
      {"nofield", noAttributes, kEle, "", {"m.node"}, "the mesh has no point field"},
      {"missing", kNode, kEle, "", {"m.node", "--field", "pressure"}, "no field \"pressure\" in the mesh"},
      {"hex", "", "", hexMsh, {"m.msh"}, "element 9 refers to node 7, which is not defined"},
      {"time", kNode, kEle, "", {"m.node", "--time", "1"}, "--time and --block apply to formats with time steps"},
      {"vector", "", "", std::string(kMsh), {"m.msh", "--component", "2"}, "field \"T\" has 1 component; there is no component 2"},
      {"format", "", "", "", {"m.off"}, "unknown mesh format \".off\""},
      {"absent", "", "", "", {"nothing.msh"}, "cannot open nothing.msh"},
      {"synthetic", "", "", "", {"--synthetic", "cube"}, "unknown synthetic dataset \"cube\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    if (!c.node.empty()) dir.write("m.node", c.node);
    if (!c.ele.empty()) dir.write("m.ele", c.ele);
    if (!c.msh.empty()) dir.write("m.msh", c.msh);
    const std::vector<std::string> before = dir.list();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "out.vx", "--texture", "out.tex"});
    const CommandResult r = runVxbuild(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\033[31mERROR:\033[0m "), std::string::npos);
    EXPECT_EQ(dir.list(), before) << "files left behind";
  }
  ScratchDir dir;
  const CommandResult r = runVxbuild({"--synthetic", "blobs:3", "-o", "nodir/out.vx"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write file nodir/out.vx"), std::string::npos) << r.err;
  EXPECT_TRUE(dir.list().empty());
}

// The disk fills up (a file size limit here, whose signal would otherwise end the process) while
// the cache is streamed out: the build fails with the writer's message and a non-zero status, and
// neither the output names nor temporary files are left behind.
TEST(VxbuildCommand, WriteFailurePartWayLeavesNoFiles) {
  ScratchDir dir;
  // 2048 blocks of 512 bytes (1 KiB for bash): far below the cache of blobs:30 (about 10 MB).
  const CommandResult r =
      runVxbuild({"--synthetic", "blobs:30", "-o", "big.vx"}, dir.path(), "ulimit -f 2048");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot write file big.vx.cache"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("done (", r.err.find("filling and writing the cache chunks")), std::string::npos)
      << "the cache step must not finish:\n" << r.err;
  EXPECT_TRUE(dir.list().empty());
}

TEST(VxbuildCommand, UsageErrors) {
  ScratchDir dir;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"m.node"}, {"a.node", "b.node", "-o", "x.vx"},
                                              {"--synthetic", "blobs", "m.node", "-o", "x.vx"},
                                              {"m.node", "-o", "x.vx", "--component", "1", "--magnitude"},
                                              {"m.node", "-o", "x.vx", "--field-function", "wavy"},
                                              {"m.node", "-o", "x.vx", "--field-function"},
                                              {"m.node", "-o", "x.vx", "--field-function", "smooth", "--field", "T"},
                                              {"--bogus"}, {"--texture"}, {"m.node", "-o", "x.vx", "--time", "soon"},
                                              {"m.node", "-o", "x.vx", "--time", "nan"}, {"m.node", "-o", "x.vx", "--block", "a,,b"},
                                              {"--synthetic", "blobs", "-o", "x.vx", "--time", "1"}}) {
    const CommandResult r = runVxbuild(args, dir.path());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage: vxbuild"), std::string::npos);
  }
  EXPECT_TRUE(dir.list().empty());
  EXPECT_EQ(runVxbuild({"--help"}, dir.path()).status, 0);
}
