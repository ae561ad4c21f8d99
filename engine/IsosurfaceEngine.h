// The isosurface engine without a window: the façade over the dataset (chunks, trees, boundary
// surfaces), the chunk selection, the extraction back end (fragment passes or compute pass) and the
// surface renderer, with the camera and the display parameters the controls change. The engine
// widget (GLGPUIsosurface) is one through inheritance and adds Qt's events and slots; the benchmark
// and the tests drive it headlessly on an offscreen context. All OpenGL work needs the engine's
// context current.
#pragma once

#include "Camera.h"
#include "ChunkTextureSize.h"
#include "Dataset.h"
#include "ExtractionTypes.h"
#include "SurfaceRenderer.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ComputeExtraction;
class Extractor;
class FragmentPassExtractor;
class QImage;

// Choices made before initializeGL, for the benchmark and the tests; the viewer keeps the defaults.
struct EngineOptions {
  int renderTargetMode = 0;  // 0 framebuffer objects preferred, 1 pbuffers
  bool rectTextures = false; // use rectangle textures and programs with the ARB float format
  // Automatic takes the compute back end where the context offers it, unless pbuffers or
  // rectangle textures are asked for (choices that only the fragment passes have).
  ExtractionBackend backend = ExtractionBackend::Automatic;
  // Chunks resident on demand: opening reads the cache's chunk index only (the time to the first
  // frame does not grow with the cache), and each extraction makes the chunks it needs resident,
  // evicting the least recently used beyond gpuBudgetBytes. Otherwise every chunk is read at open.
  bool chunksOnDemand = false;
  // The compute pass in its portable form, without the 64-bit writes and subgroup ballots it uses
  // where the context has them (the same surface either way).
  bool portableCompute = false;
  // Texels a slab of the compute back end's chunk data holds at most (0: its own choice, 64 MiB
  // or the context's limit; the tests give less, so that a small dataset spreads over several).
  std::size_t computeSlabTexels = 0;
  // 0: what the driver reports as free graphics memory, else 2 GB.
  std::size_t gpuBudgetBytes = 0;
};

class IsosurfaceEngine {
public:
  IsosurfaceEngine();
  virtual ~IsosurfaceEngine();
  IsosurfaceEngine(const IsosurfaceEngine&) = delete;
  IsosurfaceEngine& operator=(const IsosurfaceEngine&) = delete;

  // --- the parameters the controls change (the widget's slots forward here) ---
  void setIso(int v);
  void drawBoundingBox(int on);
  void drawVertices(int on);
  void wireframe(int on);
  void smoothshaded(int on);
  void renderMode(int mode);
  void opacity(int v);
  void multiSurf(int on);
  void drawBoundaries(int on);

  // --- OpenGL set-up and painting, with the engine's context current ---
  void initializeGL();
  void resizeGL(int w, int h);
  void paintGL();
  void setBackdropImage(const QString& path);

  // --- datasets ---
  // Opens the geometry file and the cache beside it (path + ".cache"). True when both were read
  // completely; failures are reported on the console.
  bool loadDataset(const QString& path);
  bool readCache(const std::string& path);
  void clearChunks();
  bool hasDataset() const { return !dataset.empty(); }
  // Chunks of the last cache read that were read completely (and are extracted and drawn), and
  // chunks its header announced; they differ after a load that failed part-way.
  int chunksLoaded() const { return dataset.chunksLoaded; }
  int chunksInFile() const { return dataset.chunksInFile; }
  // Told after every chunk a cache read has finished (chunks read, chunks in the file), so that a
  // long load can show its progress.
  std::function<void(int, int)> loadProgress;
  QString datasetPath() const { return datasetPath_; }

  // --- extraction and drawing ---
  // The surface is out of date: the next paint extracts it again.
  void requestExtraction() { dirty = true; }
  // Chooses another back end: with the context current it is set up at once and an open dataset
  // is read again into it. False when the choice fell back to the fragment passes (said once).
  bool setBackend(ExtractionBackend backend);
  // The back end initializeGL chose (never Automatic once the engine is set up).
  ExtractionBackend activeBackend() const { return backend_; }
  // The active back end when it is that one (for checks of what it drew), else null.
  const ComputeExtraction* computeBackend() const;
  FragmentPassExtractor* fragmentBackend() const;
  // Selects the spans at the isovalue, makes their chunks resident (chunks on demand), extracts
  // them with the active back end, and times it.
  void extract();
  // The graphics memory budget of resident chunks in use (chunks on demand).
  std::size_t gpuBudget() const;
  // Another budget in bytes (0: the default), taken at once by an open dataset.
  void setGpuBudget(std::size_t bytes);
  // The chunks the isovalues a step of 0.01 either side need and that are not resident, in
  // ascending order: what the view reads ahead (in spare budget only), so that dragging the slider
  // rarely waits. Chunks on demand only; none otherwise.
  std::vector<int> chunksAround(float iso) const;
  // What the driver reports as free graphics memory, or 0 where it does not say.
  static std::size_t driverFreeMemory();
  // The fragment passes over chunk k's rows [rowMin, rowEnd) alone.
  void extractChunk(int k);
  // W·H·4 floats: the position target of chunk k, half h (bottom window row first), read from the
  // fragment passes' render target.
  std::vector<float> readBackTarget(int k, int half);
  // The same for any of the four output targets (0, 1 positions; 2, 3 normals).
  std::vector<float> readBackOutput(int k, int target);
  // What the view draws from: the buffer object of output target `target` of chunk k, read with
  // glGetBufferSubData without touching the render target (same layout as readBackOutput).
  std::vector<float> readOutputBuffer(int k, int target);
  void drawSurface();
  void drawBox();
  void drawBackdrop();
  void depthSortPrimitives() { renderer.depthSortPrimitives(); }
  // Whether the active back end can extract at all.
  bool extractionReady() const { return extractionReady_; }
  const ExtractionStats& lastExtraction() const { return stats_; }
  // The figure an extraction reports: tetrahedra of the whole dataset, in 2^20, per second.
  static int throughputOf(uint32_t tets, float elapsed);
  // Told whenever a part of an extraction has been issued (a profiler finishes the graphics work
  // there and takes the time); not set in the viewer.
  std::function<void(ExtractionPart)> onPartDone;
  // Graphics memory the dataset occupies: its chunk data, the back end's outputs and the boundary
  // buffers.
  std::size_t datasetGraphicsBytes() const;

  // Draws one frame of width × height (resize and paint, as the view would) into a framebuffer of
  // its own and returns it as an image, top row first. Null when the framebuffer cannot be made.
  QImage renderFrame(int width, int height);

  // Asks for a repaint; a headless engine has nothing to repaint.
  virtual void updateGL() {}

  // Releases every OpenGL object; needs the context current. Safe to call more than once.
  void releaseGL();

  EngineOptions options;

  // The lowest and highest isovalues: 2^-23 and 0x3F7FFFFE, two steps below 1.
  static constexpr float kIsoLow = 1.1920929e-07f;
  static constexpr float kIsoHigh = 0.99999988f;

  const int textureWidth = kChunkTextureSide, textureHeight = kChunkTextureSide;
  const float invTextureWidth = 1.0f / kChunkTextureSide, invTextureHeight = 1.0f / kChunkTextureSide;
  float isovalue = 0.5f;
  // The rows extractChunk runs over.
  int rowMin = 0, rowEnd = kChunkTextureSide;
  bool dirty = true;

  Dataset dataset{kChunkTextureSide, kChunkTextureSide};
  SurfaceRenderer renderer;
  Camera camera;
  bool showBoundingBox = true;
  bool showVertices = false;
  bool wireframeOn = false;
  bool flatShading = false;
  bool multiSurfaceOn = false;
  bool showBoundaries = true;
  int shadingMode = 0;
  float rotation[3] = {0, 0, 0};
  float backgroundColor[3] = {0, 0, 0};
  float viewScale = 1.0f;
  float surfaceOpacity = 1.0f;
  int lastMouseX = 0, lastMouseY = 0;

protected:
  // Reports a finished extraction's throughput (the widget emits extractPerf).
  virtual void reportExtractPerf(int /*mtetsPerSecond*/) {}

private:
  // loadDataset after its geometry file: the cache beside it.
  bool loadCacheOf(const QString& qpath, const std::string& path);
  void partDone(ExtractionPart part) {
    if (onPartDone) onPartDone(part);
  }
  // Makes the back end options ask for, falling back to the fragment passes.
  bool chooseBackend();
  void releaseBackend();

  std::unique_ptr<Extractor> extractor_;
  ExtractionBackend backend_ = ExtractionBackend::FragmentPasses;
  bool glInitialised_ = false;
  bool extractionReady_ = false;
  QString datasetPath_;
  ExtractionStats stats_;
};
