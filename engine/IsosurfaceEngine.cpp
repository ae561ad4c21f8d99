#include "IsosurfaceEngine.h"

#include "ChunkSelection.h"
#include "ComputeExtraction.h"
#include "FragmentPasses.h"
#include "PkDiag.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <climits>
#include <sys/stat.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

double secondsNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

} // namespace

IsosurfaceEngine::IsosurfaceEngine() = default;

// GL objects must already be gone (releaseGL with the context current); the renderer gives back
// its sort records.
IsosurfaceEngine::~IsosurfaceEngine() = default;

// ---------------------------------------------------------------------------------------------
// Slots

void IsosurfaceEngine::setIso(int v) {
  const float value = float(v) * 0.01f;
  if (value == isovalue) return; // compared before clamping
  dirty = true;
  isovalue = value < kIsoLow ? kIsoLow : (value >= 1.0f ? kIsoHigh : value);
  updateGL();
}

void IsosurfaceEngine::drawBoundingBox(int on) {
  showBoundingBox = on != 0;
  updateGL();
}

void IsosurfaceEngine::drawVertices(int on) {
  showVertices = on != 0;
  updateGL();
}

void IsosurfaceEngine::wireframe(int on) {
  wireframeOn = on != 0;
  updateGL();
}

void IsosurfaceEngine::smoothshaded(int on) {
  flatShading = on == 0;
  dirty = true;
  updateGL();
}

void IsosurfaceEngine::renderMode(int mode) {
  shadingMode = mode;
  updateGL();
}

void IsosurfaceEngine::opacity(int v) {
  surfaceOpacity = float(v) * 0.01f;
  updateGL();
}

void IsosurfaceEngine::multiSurf(int on) {
  multiSurfaceOn = on != 0;
  dirty = true;
  updateGL();
}

void IsosurfaceEngine::drawBoundaries(int on) {
  showBoundaries = on != 0;
  updateGL();
}

// ---------------------------------------------------------------------------------------------
// Set-up

void IsosurfaceEngine::initializeGL() {
  std::string glewError;
  if (!pk::initGlew(&glewError)) {
    pk::error("cannot initialize OpenGL");
    pk::error("GLEW Error: " + glewError);
    // Nothing more can be set up without the entry points. The quit request is queued: made
    // before the event loop runs, a direct quit would be lost.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    return;
  }
  glInitialised_ = true;

  renderer.initialize(surfaceOpacity);
  dataset.createGL();
  chooseBackend();

  glClearColor(0, 0, 0, 1);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_FASTEST);
  glHint(GL_POINT_SMOOTH_HINT, GL_FASTEST);
  glHint(GL_LINE_SMOOTH_HINT, GL_FASTEST);
  glHint(GL_POLYGON_SMOOTH_HINT, GL_FASTEST);
  glHint(GL_FOG_HINT, GL_FASTEST);
  glShadeModel(GL_FLAT);
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  glEnable(GL_LIGHT0);
  const GLfloat ambient[] = {0.1f, 0.1f, 0.1f, 1}, diffuse[] = {0.8f, 0.8f, 0.8f, 1};
  const GLfloat specular[] = {1, 1, 1, 1}, position[] = {0, 10, 10, 0};
  glLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
  glLightfv(GL_LIGHT0, GL_SPECULAR, specular);
  glLightfv(GL_LIGHT0, GL_POSITION, position);
  glColorMaterial(GL_BACK, GL_AMBIENT_AND_DIFFUSE);
  glColorMaterial(GL_FRONT, GL_AMBIENT);
  const GLfloat matDiffuse[] = {0.8f, 0.8f, 0.8f, 1}, matAmbient[] = {0.2f, 0.2f, 0.2f, 1};
  glMaterialfv(GL_FRONT, GL_DIFFUSE, matDiffuse);
  glMaterialfv(GL_FRONT, GL_AMBIENT, matAmbient);
}

bool IsosurfaceEngine::chooseBackend() {
  const ExtractionBackend wanted = options.backend;
  const bool fragmentOnly = options.renderTargetMode == 1 || options.rectTextures;
  bool chosen = true;
  if (wanted == ExtractionBackend::Compute || (wanted == ExtractionBackend::Automatic && !fragmentOnly)) {
    auto compute = std::make_unique<ComputeExtraction>(textureWidth, textureHeight, options.portableCompute,
                                                       options.computeSlabTexels);
    if (compute->initialize()) {
      backend_ = ExtractionBackend::Compute;
      extractionReady_ = true;
      extractor_ = std::move(compute);
      return true;
    }
    compute->release();
    chosen = wanted != ExtractionBackend::Compute;
    if (!chosen) pk::error("no compute shaders in this OpenGL - the fragment passes extract the isosurface");
  }
  auto passes = std::make_unique<FragmentPassExtractor>(textureWidth, textureHeight, options.renderTargetMode,
                                                        options.rectTextures);
  extractionReady_ = passes->initialize();
  backend_ = ExtractionBackend::FragmentPasses;
  extractor_ = std::move(passes);
  return chosen;
}

void IsosurfaceEngine::releaseBackend() {
  if (extractor_) extractor_->release();
  extractor_.reset();
  backend_ = ExtractionBackend::FragmentPasses;
  extractionReady_ = false;
}

bool IsosurfaceEngine::setBackend(ExtractionBackend backend) {
  options.backend = backend;
  if (!glInitialised_) return true; // taken when OpenGL is set up
  const QString path = datasetPath_;
  const bool reopen = hasDataset();
  clearChunks();
  releaseBackend();
  const bool chosen = chooseBackend();
  if (reopen) loadDataset(path);
  requestExtraction();
  updateGL();
  return chosen;
}

const ComputeExtraction* IsosurfaceEngine::computeBackend() const {
  return backend_ == ExtractionBackend::Compute ? static_cast<const ComputeExtraction*>(extractor_.get()) : nullptr;
}

FragmentPassExtractor* IsosurfaceEngine::fragmentBackend() const {
  return extractor_ && backend_ == ExtractionBackend::FragmentPasses ? static_cast<FragmentPassExtractor*>(extractor_.get())
                                                                    : nullptr;
}

void IsosurfaceEngine::setBackdropImage(const QString& path) { renderer.setBackdropImage(path); }
void IsosurfaceEngine::resizeGL(int w, int h) {
  glViewport(0, 0, w, h);
  // A zero height (a collapsed splitter) keeps the last aspect ratio instead of dividing by zero.
  if (h > 0) camera.aspect = float(w) / float(h);
}

// ---------------------------------------------------------------------------------------------
// Datasets

bool IsosurfaceEngine::loadDataset(const QString& qpath) {
  const std::string path = qpath.toLocal8Bit().toStdString();
  if (!glInitialised_) {
    pk::error(path + " cannot be opened before OpenGL is initialised");
    return false;
  }
  if (!dataset.readGeometry(path)) return false; // nothing changed
  // The cache is read while the boundary surfaces are built; they are uploaded after it.
  const bool read = loadCacheOf(qpath, path);
  return dataset.finishGeometry() && read;
}

bool IsosurfaceEngine::loadCacheOf(const QString& qpath, const std::string& path) {
  datasetPath_ = qpath;
  const std::string cacheName = path + ".cache";
  if (!fileExists(cacheName)) {
    clearChunks(); // no chunk of the dataset before stays with the new one's geometry
    pk::error("data " + cacheName + " not found");
    return false;
  }
  // readCache drops the chunks held before it reads.
  bool read = false;
  try {
    read = readCache(cacheName);
  } catch (const std::bad_alloc&) {
    // A cache that asks for more memory than there is: what was read so far is dropped.
    glActiveTextureARB(GL_TEXTURE0);
    clearChunks();
    pk::error("not enough memory to load " + cacheName);
  }
  if (read) return true;
  pk::error("data " + cacheName + " not readable");
  return false;
}

bool IsosurfaceEngine::readCache(const std::string& path) {
  if (!extractor_) return false;
  // The chunk list changes: whatever part of it loads is extracted before it is drawn, also when
  // a later chunk fails.
  clearChunks();
  dirty = true;
  // Read whole, or its chunk index only with the chunks read as isovalues need them.
  const Dataset::Upload form = extractor_->chunkUpload(options.chunksOnDemand);
  const bool read = options.chunksOnDemand ? dataset.openCache(path, form, gpuBudget(), loadProgress)
                                           : dataset.readCache(path, form, loadProgress);
  if (dataset.empty()) return false; // the header was not readable: nothing changed
  viewScale = dataset.modelBox.viewScale();
  // Whoever heard the progress may have painted the view from a part of the dataset.
  dirty = true;
  if (!read) return false;
  rotation[0] = rotation[1] = rotation[2] = 0;
  renderer.setModelBox(dataset.modelBox);
  return true;
}

void IsosurfaceEngine::clearChunks() {
  dataset.clearChunks();
  stats_ = ExtractionStats(); // its spans named these chunks
  if (extractor_) extractor_->clearChunks();
  renderer.releasePrimitives();
#ifdef __GLIBC__
  // A dataset's host memory came from the heaps of the reading threads as well; what it freed goes
  // back to the system now, else every dataset opened after it in the same session keeps it.
  malloc_trim(0);
#endif
}

std::size_t IsosurfaceEngine::driverFreeMemory() {
  GLint kilobytes[4] = {0, 0, 0, 0};
  if (GLEW_NVX_gpu_memory_info)
    glGetIntegerv(GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX, kilobytes);
  else if (GLEW_ATI_meminfo)
    glGetIntegerv(GL_TEXTURE_FREE_MEMORY_ATI, kilobytes);
  while (glGetError() != GL_NO_ERROR) {
  }
  return kilobytes[0] > 0 ? std::size_t(kilobytes[0]) * 1024 : 0;
}

std::size_t IsosurfaceEngine::gpuBudget() const {
  if (options.gpuBudgetBytes) return options.gpuBudgetBytes;
  const std::size_t free = glInitialised_ ? driverFreeMemory() : 0;
  return free ? free : std::size_t(2) << 30;
}

void IsosurfaceEngine::setGpuBudget(std::size_t bytes) {
  options.gpuBudgetBytes = bytes;
  if (dataset.onDemand()) {
    dataset.setBudgetBytes(gpuBudget());
    requestExtraction();
  }
}

std::vector<int> IsosurfaceEngine::chunksAround(float iso) const {
  std::vector<int> wanted;
  if (!dataset.onDemand() || !extractionReady_) return wanted;
  for (float near : {iso - 0.01f, iso + 0.01f}) {
    if (near < kIsoLow || near > kIsoHigh) continue;
    for (const ChunkSpan& s : selectSpans(dataset, near).spans)
      if (s.drawn() && !dataset.isResident(s.chunk)) wanted.push_back(s.chunk);
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  return wanted;
}

std::size_t IsosurfaceEngine::datasetGraphicsBytes() const {
  return dataset.graphicsBytes() + (extractor_ ? extractor_->graphicsBytes() : 0);
}

// ---------------------------------------------------------------------------------------------
// Extraction

int IsosurfaceEngine::throughputOf(uint32_t tets, float elapsed) {
  // Millions (2^20) of tetrahedra per second in single precision, truncated. A timer that did not
  // advance counts as one microsecond, and a figure beyond an int is reported as the largest int.
  const float mtets = float(tets) * (1.0f / 1024.0f) * (1.0f / 1024.0f);
  const float rate = mtets / std::max(elapsed, 1e-6f);
  return rate >= 2147483520.0f ? INT_MAX : int(rate);
}

void IsosurfaceEngine::extract() {
  renderer.releasePrimitives();
  stats_ = ExtractionStats();
  if (!extractionReady_ || !extractor_ || dataset.empty()) {
    // Nothing can be extracted; the reason was said when the engine was set up.
    dirty = false;
    return;
  }

  const double t0 = secondsNow();
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  Selection selection = selectSpans(dataset, isovalue, [this] { partDone(ExtractionPart::Queries); });
  if (dataset.onDemand()) {
    // The drawn spans' chunks are made resident; what does not fit the budget is left out, said
    // once per isovalue. The spans are taken in order while their chunks, the outputs of the spans
    // so far and the boundary surfaces fit the budget, so that a budget below the whole isovalue
    // still extracts what it can hold.
    std::vector<ChunkSpan> drawn;
    for (const ChunkSpan& s : selection.spans)
      if (s.drawn()) drawn.push_back(s);
    const std::size_t budget = dataset.budgetBytes(), boundary = dataset.boundaryBytes();
    std::vector<ChunkSpan> tried;
    std::size_t chunkBytes = 0;
    for (const ChunkSpan& s : drawn) {
      chunkBytes += dataset.expectedChunkBytes(s.chunk);
      tried.push_back(s);
      if (budget > 0 && boundary + chunkBytes + extractor_->outputBytesFor(tried) > budget) {
        tried.pop_back();
        break;
      }
    }
    std::vector<int> wanted;
    for (const ChunkSpan& s : tried) wanted.push_back(s.chunk);
    // The outputs of this extraction and the boundary surfaces share the budget with the chunks.
    dataset.setReservedBytes(extractor_->outputBytesFor(tried) + boundary);
    const long long loadsBefore = dataset.residency().loads;
    const double readStart = secondsNow();
    // The outputs are made while the first chunks are read.
    const std::vector<char> resident =
        dataset.makeResident(wanted, true, [&] { extractor_->prepareOutputs(tried); });
    stats_.chunksRead = int(dataset.residency().loads - loadsBefore);
    stats_.readSeconds = secondsNow() - readStart;
    std::vector<ChunkSpan> kept;
    for (std::size_t i = 0; i < tried.size(); ++i)
      if (resident[i]) kept.push_back(tried[i]);
    if (kept.size() < drawn.size() && (tried.size() < drawn.size() || dataset.residency().refused > 0))
      pk::error("the graphics memory budget of " + std::to_string(budget >> 20) + " MB holds " +
                std::to_string(kept.size()) + " of the " + std::to_string(drawn.size()) +
                " chunks this isovalue needs");
    selection.spans = std::move(kept);
    partDone(ExtractionPart::Residency);
  }
  extractor_->extract(dataset, selection.spans, isovalue, flatShading, onPartDone);
  for (const ChunkSpan& s : selection.spans) {
    ++stats_.activeChunks;
    if (s.drawn()) {
      stats_.processedRows += s.rowEnd - s.rowMin;
      stats_.processedTets += std::int64_t(s.rowEnd - s.rowMin) * (textureWidth / 2);
    }
  }
  stats_.spans = std::move(selection.spans);
  if (selection.overLimit) {
    // The surface stays out of date: no timing, no figure.
    pk::error("mehr tets ?");
    return;
  }
  dirty = false;
  // Transparent drawing sorts primitives: their records are part of the extraction.
  if (surfaceOpacity < 1.0f) extractor_->collectPrimitives(stats_.spans, renderer.primitives);
  // The stopwatch stops after the graphics processor has finished the passes.
  glFinish();
  const float elapsed = float(secondsNow() - t0);
  stats_.seconds = double(elapsed);
  stats_.throughput = throughputOf(dataset.totalTets, elapsed);
  reportExtractPerf(stats_.throughput);
}

void IsosurfaceEngine::extractChunk(int k) {
  FragmentPassExtractor* passes = fragmentBackend();
  if (!passes) return;
  const ChunkSpan span{k, rowMin, rowEnd};
  passes->extractSpan(dataset, span, isovalue, flatShading, onPartDone);
  if (surfaceOpacity < 1.0f) passes->collectPrimitives({span}, renderer.primitives);
}

std::vector<float> IsosurfaceEngine::readBackOutput(int k, int target) {
  if (FragmentPassExtractor* passes = fragmentBackend()) return passes->readBackOutput(k, target);
  return std::vector<float>(std::size_t(textureWidth) * textureHeight * 4, 0.0f);
}

std::vector<float> IsosurfaceEngine::readBackTarget(int k, int half) { return readBackOutput(k, half); }

std::vector<float> IsosurfaceEngine::readOutputBuffer(int k, int target) {
  if (FragmentPassExtractor* passes = fragmentBackend()) return passes->readOutputBuffer(k, target);
  return std::vector<float>(std::size_t(textureWidth) * textureHeight * 4, 0.0f);
}

// ---------------------------------------------------------------------------------------------

void IsosurfaceEngine::releaseGL() {
  if (!glInitialised_) return;
  clearChunks();
  releaseBackend();
  dataset.releaseGL();
  renderer.release();
  glInitialised_ = false;
}
