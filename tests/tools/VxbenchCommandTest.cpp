// vxbench run as a process on a small synthetic dataset made by vxbuild: the check against the CPU
// reference in every program variant, the PLY export against the reference surface, the render,
// and bad input of every kind ending with a message and a non-zero status, never a crash.
#include "CacheFile.h"
#include "ReferenceExtractor.h"

#include "TestOutput.h"
#include "VxbenchPly.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>

namespace {

struct ProcessRun {
  int status = -1; // -1: the process crashed or could not start
  QString out, err;
};

class VxbenchCommand : public ::testing::Test {
protected:
  static QTemporaryDir* dir;
  static CacheData* cache;

  static void SetUpTestSuite() {
    dir = new QTemporaryDir;
    cache = new CacheData;
    // About 83 000 tetrahedra in a few chunks: several chunks, each only partly active.
    const ProcessRun build = run(VXBUILD_EXE, {"--synthetic", "blobs:24", "-o", "set.vx", "--quiet"});
    ASSERT_EQ(build.status, 0) << build.err.toStdString();
    ASSERT_TRUE(parseCacheFile(path("set.vx.cache").toStdString(), 256, 256, *cache));
  }
  static void TearDownTestSuite() {
    delete cache;
    delete dir;
  }
  void SetUp() override {
    if (!cache || cache->chunks.empty()) GTEST_SKIP() << "no dataset";
  }

  static QString path(const QString& name) { return dir->filePath(name); }

  static ProcessRun run(const QString& program, const QStringList& args, const QProcessEnvironment& env =
                                                                      QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setWorkingDirectory(dir->path());
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProcessRun r;
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit) {
      p.kill();
      p.waitForFinished();
      r.err = p.readAllStandardError();
      return r;
    }
    r.status = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
  }
  static ProcessRun vxbench(QStringList args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    return run(VXBENCH_EXE, args, env);
  }
};

QTemporaryDir* VxbenchCommand::dir = nullptr;
CacheData* VxbenchCommand::cache = nullptr;

std::string text(const ProcessRun& r) { return (r.out + r.err).toStdString(); }

} // namespace

TEST_F(VxbenchCommand, CheckPassesAtSevenIsovaluesInEveryProgramVariant) {
  // The clamp limits, a value equal to a vertex value, and one that activates no chunk.
  char vertexValue[32];
  std::snprintf(vertexValue, sizeof vertexValue, "%.9g", double(cache->chunks[0].vertexArray[4 * 17 + 3]));
  const QString isos = QStringLiteral("1.1920929e-07,0.1,0.35,0.5,%1,0.99999988,1.5").arg(vertexValue);
  ReferenceSurface middle;
  ASSERT_TRUE(referenceSurface(*cache, 0.5f, middle));
  // Both back ends, and the fragment passes' rectangle variant.
  for (const char* variant : {"compute", "fragment", "rect"})
    for (bool flat : {false, true}) {
      const bool rect = std::string(variant) == "rect";
      QStringList args = {"set.vx", "--check", "--repeat", "1", "--json", "--iso", isos};
      if (rect) args << "--rect";
      else args << "--backend" << variant;
      if (flat) args << "--flat";
      const ProcessRun r = vxbench(args);
      SCOPED_TRACE(args.join(' ').toStdString());
      ASSERT_EQ(r.status, 0) << text(r);
      const QJsonObject json = QJsonDocument::fromJson(r.out.toUtf8()).object();
      EXPECT_EQ(json["rectTextures"].toBool(), rect);
      EXPECT_EQ(json["backend"].toString(), rect ? "fragment" : variant);
      EXPECT_EQ(json["flat"].toBool(), flat);
      EXPECT_EQ(json["chunks"].toInt(), int(cache->chunks.size()));
      const QJsonArray results = json["results"].toArray();
      ASSERT_EQ(results.size(), 7);
      for (const QJsonValue& v : results) EXPECT_TRUE(v.toObject()["check"].toBool());
      EXPECT_GE(results[0].toObject()["activeChunks"].toInt(), 1);
      EXPECT_EQ(results[6].toObject()["activeChunks"].toInt(), 0);
      EXPECT_EQ(results[6].toObject()["triangles"].toInt() + results[6].toObject()["quads"].toInt(), 0);
      // The count read back from the output buffers is the reference surface's.
      const QJsonObject half = results[3].toObject();
      EXPECT_EQ(std::size_t(half["triangles"].toInt()), middle.triangles);
      EXPECT_EQ(std::size_t(half["quads"].toInt()), middle.quads);
      EXPECT_EQ(std::size_t(half["activeChunks"].toInt()), middle.activeChunks);
    }
}

TEST_F(VxbenchCommand, ExportedPlyHoldsThePrintedSurface) {
  const ProcessRun r = vxbench({"set.vx", "--iso", "0.5", "--repeat", "1", "--export-ply", "surface.ply"});
  ASSERT_EQ(r.status, 0) << text(r);
  const QRegularExpressionMatch m =
      QRegularExpression("wrote surface.ply: (\\d+) triangles, (\\d+) quads").match(r.out);
  ASSERT_TRUE(m.hasMatch()) << text(r);
  const std::size_t triangles = m.captured(1).toULongLong(), quads = m.captured(2).toULongLong();
  // The table's row says the same.
  EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("\\n\\s+0\\.5\\s+\\d+\\s+\\d+\\s+\\d+\\s+%1\\s+%2\\s")
                                                    .arg(triangles)
                                                    .arg(quads))))
      << text(r);
  TestPly ply;
  ASSERT_TRUE(readTestPly(path("surface.ply").toStdString(), ply));
  EXPECT_EQ(ply.facesWith(3), triangles);
  EXPECT_EQ(ply.facesWith(4), quads);
  EXPECT_EQ(ply.faces.size(), triangles + quads);
  ASSERT_GT(quads, 0u);
  ReferenceSurface reference;
  ASSERT_TRUE(referenceSurface(*cache, 0.5f, reference));
  EXPECT_NEAR(ply.area(), reference.area, 1e-4 * reference.area);
  std::size_t unit = 0;
  for (std::size_t v = 0; v < ply.vertices.size() / 6; ++v) {
    const float* n = &ply.vertices[6 * v + 3];
    const double length = std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
    EXPECT_TRUE(length == 0.0 || std::fabs(length - 1.0) < 1e-5) << "vertex " << v;
    unit += length > 0;
  }
  EXPECT_GT(unit, ply.vertices.size() / 6 / 2);
}

TEST_F(VxbenchCommand, RenderWritesAPictureOfTheRequestedSize) {
  const ProcessRun r = vxbench({"set.vx", "--render", "frame.png", "--size", "160x120", "--distance", "3.5"});
  ASSERT_EQ(r.status, 0) << text(r);
  const QImage frame(path("frame.png"));
  ASSERT_EQ(frame.size(), QSize(160, 120));
  // The background is black where nothing is drawn; the model covers the middle. From outside, the
  // opaque boundary of the blobs' cube is all there is to see.
  EXPECT_EQ(frame.pixel(0, 0) & 0xFFFFFF, 0u);
  EXPECT_EQ(frame.pixel(159, 119) & 0xFFFFFF, 0u);
  int covered = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 160; ++x) covered += (frame.pixel(x, y) & 0xFFFFFF) != 0;
  EXPECT_GT(covered, 160 * 120 / 10);
  keepFrameIfFailed(frame, "outside");

  // From inside the cube the surface shows. The same view at an isovalue that activates no chunk
  // has the boundary seen from inside but no surface: what differs between the two frames is the
  // surface, and it fills most of the view.
  auto inside = [&](const char* name, const char* iso) {
    const ProcessRun r = vxbench({"set.vx", "--render", name, "--iso", iso, "--size", "160x120", "--distance", "1.2"});
    EXPECT_EQ(r.status, 0) << text(r);
    return QImage(path(name));
  };
  const QImage withSurface = inside("surface.png", "0.5");
  const QImage without = inside("no-surface.png", "1.5");
  ASSERT_EQ(withSurface.size(), QSize(160, 120));
  ASSERT_EQ(without.size(), QSize(160, 120));
  int surface = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 160; ++x) {
      const QRgb p = withSurface.pixel(x, y), q = without.pixel(x, y);
      surface += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q)) > 24;
    }
  EXPECT_GT(surface, 160 * 120 / 2);
  keepFrameIfFailed(withSurface, "surface");
  keepFrameIfFailed(without, "no-surface");

  const ProcessRun glass = vxbench({"set.vx", "--render", "glass.png", "--iso", "0.35", "--mode-shading", "2", "--opacity",
                             "0.5", "--multi", "--size", "64x48", "--rotate", "10,20,30", "--distance", "3"});
  ASSERT_EQ(glass.status, 0) << text(glass);
  EXPECT_EQ(QImage(path("glass.png")).size(), QSize(64, 48));
}

TEST_F(VxbenchCommand, BadInputEndsWithAMessageAndAFailureStatus) {
  struct Case {
    QStringList args;
    int status;
    const char* message;
  };
  {
    QFile junk(path("junk.vx"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a dataset\n");
  }
  ASSERT_TRUE(QFile::copy(path("set.vx"), path("cut.vx")));
  {
    QFile whole(path("set.vx.cache")), cut(path("cut.vx.cache"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly) && cut.open(QIODevice::WriteOnly));
    cut.write(whole.read(whole.size() / 2));
  }
  const Case cases[] = {
      {{"missing.vx"}, 1, "missing.vx could not be loaded"},
      {{"junk.vx"}, 1, "junk.vx could not be loaded"},
      {{"cut.vx", "--repeat", "1"}, 1, "cut.vx could not be loaded"},
      {{"set.vx", "--iso", "abc"}, 2, "--iso needs isovalues"},
      {{"set.vx", "--render", "/nonexistent-dir/x.png", "--size", "8x8"}, 1, "cannot write /nonexistent-dir/x.png"},
      {{"set.vx", "--iso", "0.5", "--export-ply", "/nonexistent-dir/x.ply"}, 1, "cannot write /nonexistent-dir/x.ply"},
  };
  for (const Case& c : cases) {
    const ProcessRun r = vxbench(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString() << "\n" << text(r);
    EXPECT_TRUE(r.err.contains("ERROR:")) << text(r);
    EXPECT_TRUE(r.err.contains(c.message)) << c.args.join(' ').toStdString() << "\n" << text(r);
  }

  QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
  noDisplay.remove("DISPLAY");
  noDisplay.remove("QT_QPA_PLATFORM");
  const ProcessRun headless = vxbench({"set.vx"}, noDisplay);
  EXPECT_EQ(headless.status, 1) << text(headless);
  EXPECT_TRUE(headless.err.contains("no X display")) << text(headless);

  // Without float pbuffers (Xvfb and Mesa here) pbuffer mode says why and extracts nothing; where
  // they exist the check must pass in that mode.
  const ProcessRun pbuffer = vxbench({"set.vx", "--mode", "pbuffer", "--check", "--iso", "0.5", "--repeat", "1"});
  if (pbuffer.status == 0) {
    EXPECT_TRUE(pbuffer.out.contains("check passed")) << text(pbuffer);
  } else {
    EXPECT_EQ(pbuffer.status, 1) << text(pbuffer);
    EXPECT_TRUE(pbuffer.err.contains("isosurfaces cannot be extracted")) << text(pbuffer);
  }
}

TEST_F(VxbenchCommand, ReopeningTheDatasetKeepsMemoryFlat) {
  for (const char* backend : {"compute", "fragment"}) {
    const ProcessRun r = vxbench({"set.vx", "--reopen", "8", "--iso", "0.3,0.5", "--repeat", "1", "--json", "--backend", backend});
    ASSERT_EQ(r.status, 0) << text(r);
    const QJsonObject soak = QJsonDocument::fromJson(r.out.section('\n', 0, 0).toUtf8()).object();
    ASSERT_EQ(soak["reopen"].toInt(), 8) << text(r);
    // Graphics memory is the same after every round. Resident memory stays within a few per cent of
    // the first round's: closing a dataset gives the heap's free memory back (without that, the
    // reading threads' heaps kept up to 10 % more after a few rounds of this set, and a quarter more
    // of the demo's).
    EXPECT_GT(soak["graphicsFirst"].toDouble(), 0.0);
    EXPECT_EQ(soak["graphicsLast"].toDouble(), soak["graphicsFirst"].toDouble()) << backend;
    EXPECT_LT(soak["residentLast"].toDouble(), 1.05 * soak["residentSecond"].toDouble()) << backend;
    EXPECT_LT(soak["residentLast"].toDouble(), 1.04 * soak["residentFirst"].toDouble()) << backend;
  }
  EXPECT_EQ(vxbench({"set.vx", "--reopen", "0"}).status, 2);
  EXPECT_EQ(vxbench({"set.vx", "--reopen", "2", "--render", "x.png"}).status, 2);
}

TEST_F(VxbenchCommand, AMeshIsBuiltIntoADatasetOfTheCacheFolderFirst) {
  // A Gmsh mesh of two tetrahedra with a field "T": its dataset goes into the viewer's cache folder
  // (here one of the test's own), is checked like any dataset, and is found there the next time.
  QFile mesh(path("two.msh"));
  ASSERT_TRUE(mesh.open(QIODevice::WriteOnly));
  mesh.write("$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n5\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n5 1 1 1\n"
             "$EndNodes\n$Elements\n2\n1 4 2 0 1 1 2 3 4\n2 4 2 0 1 2 3 4 5\n$EndElements\n"
             "$NodeData\n1\n\"T\"\n1\n0.0\n3\n0\n1\n5\n1 0.0\n2 0.5\n3 0.25\n4 1.0\n5 0.75\n$EndNodeData\n");
  mesh.close();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_CACHE_HOME", path("cache"));
  ProcessRun r = vxbench({"two.msh", "--iso", "0.3,0.6", "--check", "--repeat", "1", "--field", "T"}, env);
  ASSERT_EQ(r.status, 0) << text(r);
  EXPECT_TRUE(r.out.contains("dataset of two.msh: " + path("cache/vorex/two-"))) << text(r);
  EXPECT_TRUE(r.out.contains(": 2 tetrahedra in 1 chunks")) << text(r);
  EXPECT_TRUE(r.out.contains("check passed at all 2 isovalues")) << text(r);
  const QStringList built = QDir(path("cache/vorex")).entryList(QDir::Files);
  EXPECT_EQ(built.size(), 3) << built.join(' ').toStdString();
  const QDateTime when = QFileInfo(path("cache/vorex/" + built.first())).lastModified();
  r = vxbench({"two.msh", "--iso", "0.5", "--repeat", "1"}, env);
  ASSERT_EQ(r.status, 0) << text(r);
  EXPECT_EQ(QDir(path("cache/vorex")).entryList(QDir::Files), built);
  EXPECT_EQ(QFileInfo(path("cache/vorex/" + built.first())).lastModified(), when);
  r = vxbench({"two.msh", "--field", "nope"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.contains("two.msh has no field nope (it has T)")) << text(r);
  EXPECT_EQ(vxbench({"set.vx", "--field", "T"}).status, 2);
}
