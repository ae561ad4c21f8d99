// A load that runs out of memory half-way through the cache: the allocation failure becomes the
// error "not enough memory to load …", the chunks read so far are dropped, no capture is left
// open, and the engine goes on with no dataset, able to open the next one. This process's operator
// new fails on request, so the test is a process of its own.
#include "IsosurfaceEngine.h" // first: GLEW before Qt's OpenGL headers
#include "FragmentPasses.h"

#include "CaptureOutput.h"
#include "DatasetSamples.h"
#include "DatasetWriter.h"
#include "GLRenderToTexture.h"
#include "GLTestContext.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
// Set on a thread: the next allocation through operator new on that thread fails, once.
thread_local bool failNextAllocation = false;
} // namespace

void* operator new(std::size_t size) {
  if (failNextAllocation) {
    failNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(LoadMemory, AnAllocationFailureMidLoadLeavesNoDatasetAndTheNextLoadWorks) {
  QTemporaryDir dir;
  const std::string path = QDir(dir.path()).filePath(QStringLiteral("set.vx")).toStdString();
  ASSERT_TRUE(writeGeometryFile(path, samples::tetrahedron()));
  ASSERT_TRUE(writeCacheFile(path + ".cache", samples::cache(256, 256, 3, 4)));

  for (bool onDemand : {false, true}) {
  for (ExtractionBackend backend : {ExtractionBackend::FragmentPasses, ExtractionBackend::Compute}) {
    SCOPED_TRACE(std::string(backendName(backend)) + (onDemand ? ", chunks on demand" : ""));
    GLTestContext gl;
    ASSERT_TRUE(gl.ok());
    IsosurfaceEngine engine;
    engine.options.backend = backend;
    engine.options.chunksOnDemand = onDemand;
    captureStderr([&] { engine.initializeGL(); });
    if (engine.activeBackend() != backend) {
      engine.releaseGL();
      continue; // no compute shaders in this OpenGL
    }
    // The first chunk is in; the allocation that follows (the second chunk's) fails.
    int progress = 0;
    engine.loadProgress = [&](int done, int) {
      progress = done;
      if (done == 1) failNextAllocation = true;
    };
    bool loaded = true;
    const std::string said = captureStderr([&] { loaded = engine.loadDataset(QString::fromStdString(path)); });
    failNextAllocation = false;
    EXPECT_FALSE(loaded);
    EXPECT_EQ(progress, 1);
    EXPECT_NE(said.find("not enough memory to load " + path + ".cache"), std::string::npos) << said;
    EXPECT_FALSE(engine.hasDataset());
    EXPECT_TRUE(engine.dataset.chunks.empty());
    EXPECT_EQ(engine.chunksLoaded(), 0);
    EXPECT_EQ(engine.dataset.totalTets, 0u);
    if (const FragmentPassExtractor* passes = engine.fragmentBackend()) {
      EXPECT_FALSE(passes->renderTarget()->isCapturing());
    }
    EXPECT_EQ(takeGLError(), unsigned(GL_NO_ERROR));

    // Nothing is left behind: the same dataset opens whole and is extracted.
    engine.loadProgress = nullptr;
    EXPECT_TRUE(engine.loadDataset(QString::fromStdString(path)));
    EXPECT_EQ(engine.chunksLoaded(), 3);
    engine.extract();
    EXPECT_GT(engine.lastExtraction().activeChunks, 0);
    EXPECT_EQ(takeGLError(), unsigned(GL_NO_ERROR));
    engine.releaseGL();
  }
  }
}
