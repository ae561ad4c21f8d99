#include "IsosurfaceEngine.h"

#include "ComputeExtraction.h"
#include "images/EmbeddedImages.h"
#include "GLBufferObject.h"
#include "GLRenderToTexture.h"
#include "GeometryFile.h"
#include "MemoryPool.h"
#include "PkDiag.h"
#include "PvIntervalTree.h"
#include "ShaderSources.h"

#include <GL/glu.h>

#include <QCoreApplication>
#include <QImage>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <sys/stat.h>

namespace {

constexpr std::size_t kLicTexBytes = 256u * 256u * 256u;

double secondsNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The image in OpenGL's byte order (R, G, B, A per pixel), rows as given.
QImage glRgba(const QImage& image) { return image.convertToFormat(QImage::Format_RGBA8888); }

} // namespace

IsosurfaceEngine::IsosurfaceEngine() = default;

IsosurfaceEngine::~IsosurfaceEngine() {
  // GL objects must already be gone (releaseGL with the context current); what is left of the host
  // side goes here.
  releasePrimitives();
}

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

  createRenderTargets();
  createPrograms();
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

  // The 3D texture of the 3D-texture mode: "out.tex" from the current directory; a missing or short
  // file leaves zeros.
  std::vector<unsigned char> volume(kLicTexBytes, 0);
  if (FILE* f = std::fopen("out.tex", "rb")) {
    const std::size_t got = std::fread(volume.data(), 1, volume.size(), f);
    (void)got;
    std::fclose(f);
  }
  licTex.create(GL_TEXTURE0);
  gluBuild3DMipmaps(GL_TEXTURE_3D, GL_LUMINANCE8, 256, 256, 256, GL_LUMINANCE, GL_UNSIGNED_BYTE, volume.data());
  licTex.setParameteri(GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  licTex.setParameteri(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  licTex.setParameteri(GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  licTex.setParameteri(GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  licTex.setParameteri(GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
  licTex.unbind();

  // The glass maps. The pictures are flipped and then brought into OpenGL's bottom-up layout, which
  // flips them back: their first row is uploaded first.
  auto makeGlassMap = [this](GLTexture2D& texture, GLenum unit, const char* name) {
    texture.create(int(unit));
    uploadImageMipmaps(glRgba(imageFromMimeSource(QString::fromLatin1(name))));
    texture.setParameteri(GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    texture.setParameteri(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    texture.setParameteri(GL_TEXTURE_WRAP_S, GL_REPEAT);
    texture.setParameteri(GL_TEXTURE_WRAP_T, GL_REPEAT);
    texture.unbind();
  };
  makeGlassMap(envMapTex, GL_TEXTURE0, "glassenv.png");
  makeGlassMap(refractionTex, GL_TEXTURE1, "glassrefract.png");
  glActiveTextureARB(GL_TEXTURE0);

  for (auto& b : boundaryBuffers) b = std::make_unique<GLBufferObject>(GL_ARRAY_BUFFER_ARB);
}

void IsosurfaceEngine::uploadImageMipmaps(const QImage& image) {
  if (image.isNull()) return; // the texture keeps what it had
  const GLint internal = GLEW_EXT_texture_compression_s3tc ? GL_COMPRESSED_RGB_S3TC_DXT1_EXT : GL_RGB8;
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  gluBuild2DMipmaps(GL_TEXTURE_2D, internal, image.width(), image.height(), GL_RGBA, GL_UNSIGNED_BYTE,
                    image.constBits());
}

void IsosurfaceEngine::createPrograms() {
  const shaders::PassSet& set = useRectTextures ? shaders::passRect : shaders::pass2D;
  const bool loaded = interpolateProgram.loadFromString(shaders::fullScreenVertex, set.interpolation) &&
                      triangleProgram.loadFromString(shaders::fullScreenVertex, set.triangleAssembly) &&
                      vertexGatherProgram.loadFromString(shaders::fullScreenVertex, set.vertexGather) &&
                      normalGatherProgram.loadFromString(shaders::fullScreenVertex, set.normalGather) &&
                      surfaceShader.loadFromString(shaders::surfaceVertex, shaders::surfaceFragment) &&
                      glassProgram.loadFromString(shaders::glassVertex, shaders::glassFragment);
  if (!loaded) {
    pk::error("unable to load shaders");
  } else {
    const float W = float(textureWidth), H = float(textureHeight);
    interpolateProgram.bind();
    interpolateProgram.setUniform1i("Edges", 0);
    interpolateProgram.setUniform1i("Vertices", 1);
    if (useRectTextures) interpolateProgram.setUniform2f("Size", W, H);
    interpolateProgram.setUniform2f("Flags", isovalue, -1.0f);
    interpolateProgram.unbind();

    triangleProgram.bind();
    triangleProgram.setUniform1i("InterpVertices", 0);
    triangleProgram.setUniform1i("Map", 1);
    triangleProgram.setUniform4f("Param", W, H, invTextureWidth, 0);
    triangleProgram.unbind();

    vertexGatherProgram.bind();
    vertexGatherProgram.setUniform1i("InterpVertices", 0);
    vertexGatherProgram.setUniform1i("Indices", 1);
    vertexGatherProgram.setUniform2f("Offset", 0, 0);
    vertexGatherProgram.setUniform4f("Param", W, H, invTextureWidth, invTextureHeight);
    vertexGatherProgram.unbind();

    normalGatherProgram.bind();
    normalGatherProgram.setUniform1i("InterpGradients", 0);
    normalGatherProgram.setUniform1i("Indices", 1);
    normalGatherProgram.setUniform2f("Offset", 0, 0);
    normalGatherProgram.setUniform4f("Param", W, H, invTextureWidth, invTextureHeight);
    normalGatherProgram.unbind();

    surfaceShader.bind();
    surfaceShader.setUniform3f("lightPos", 0, 10, 10);
    surfaceShader.setUniform3f("surfColor", 0, 1, 0);
    surfaceShader.setUniform1i("LICtex", 0);
    surfaceShader.setUniform4f("modelScale", 1, 1, 1, 1);
    surfaceShader.setUniform4f("modelOffset", 0, 0, 0, 0);
    surfaceShader.setUniform1f("Flag", -1.0f);
    surfaceShader.setUniform1f("transparency", surfaceOpacity);
    surfaceShader.setUniform1f("useTexture", -1.0f);
    surfaceShader.unbind();

    glassProgram.bind();
    glassProgram.setUniform3f("LightPos", 0, 10, 10);
    glassProgram.setUniform3f("BaseColor", 0, 1, 0);
    glassProgram.setUniform1f("Flag", -1.0f);
    glassProgram.setUniform1i("EnvMap", 0);
    glassProgram.setUniform1i("RefractionMap", 1);
    glassProgram.setUniform1f("Depth", 0.2f);
    glassProgram.setUniform1f("MixRatio", 0.9f);
    glassProgram.setUniform1f("FrameWidth", 2048.0f);
    glassProgram.setUniform1f("FrameHeight", 2048.0f);
    glassProgram.setUniform1f("transparency", surfaceOpacity);
    glassProgram.unbind();
  }

  // The passes need all of these; without them the extraction is switched off (said once, here)
  // rather than run on missing objects.
  extractionReady_ = false;
  if (!renderTarget || renderTarget->mode() == GLRenderToTexture::kNoOffscreenMode)
    pk::error("no offscreen render target - isosurfaces cannot be extracted");
  else if (floatTextureFormat == GLenum(-1))
    pk::error("no floating point render format - isosurfaces cannot be extracted");
  else if (!interpVerticesTex || !interpGradientsTex || !indicesTex)
    pk::error("floating point render targets not available in this offscreen mode - isosurfaces cannot be extracted");
  else if (!loaded)
    pk::error("extraction programs not available - isosurfaces cannot be extracted");
  else
    extractionReady_ = true;
  fragmentReady_ = extractionReady_;
}

bool IsosurfaceEngine::chooseBackend() {
  backend_ = ExtractionBackend::FragmentPasses;
  extractionReady_ = fragmentReady_;
  const ExtractionBackend wanted = options.backend;
  const bool fragmentOnly = options.renderTargetMode == 1 || options.rectTextures;
  if (wanted == ExtractionBackend::FragmentPasses || (wanted == ExtractionBackend::Automatic && fragmentOnly))
    return true;
  compute_ = std::make_unique<ComputeExtraction>();
  if (compute_->initialize()) {
    backend_ = ExtractionBackend::Compute;
    extractionReady_ = true;
    return true;
  }
  compute_.reset();
  if (wanted == ExtractionBackend::Compute)
    pk::error("no compute shaders in this OpenGL - the fragment passes extract the isosurface");
  return false;
}

bool IsosurfaceEngine::setBackend(ExtractionBackend backend) {
  options.backend = backend;
  if (!glInitialised_) return true; // taken when OpenGL is set up
  const QString path = datasetPath_;
  const bool reopen = hasDataset();
  clearChunks();
  if (compute_) compute_->release();
  compute_.reset();
  const bool chosen = chooseBackend();
  if (reopen) loadDataset(path);
  requestExtraction();
  updateGL();
  return chosen;
}

void IsosurfaceEngine::setBackdropImage(const QString& path) {
  if (refractionTex.isValid()) refractionTex.bind();
  // Not flipped, unlike the glass maps: OpenGL's bottom-up rows.
  const QImage image(path);
  uploadImageMipmaps(image.isNull() ? image : glRgba(image).mirrored());
  if (refractionTex.isValid()) {
    refractionTex.unbind();
    refractionTex.disable();
  }
  glActiveTextureARB(GL_TEXTURE0);
}

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
  GeometryData geometry;
  if (!parseGeometryFile(path, geometry)) return false; // nothing changed

  std::vector<PkVec3f> positions, normals;
  for (int list = 0; list < 2; ++list) {
    buildFlatTriangles(geometry, list, positions, normals);
    const GLsizeiptrARB bytes = GLsizeiptrARB(positions.size() * sizeof(PkVec3f));
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list]->id());
    glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, positions.data(), GL_STATIC_DRAW_ARB);
    glBindBufferARB(GL_ARRAY_BUFFER_ARB, boundaryBuffers[2 * list + 1]->id());
    glBufferDataARB(GL_ARRAY_BUFFER_ARB, bytes, normals.data(), GL_STATIC_DRAW_ARB);
    (list == 0 ? boundaryTriangles0 : boundaryTriangles1) = int(geometry.triangleCount(list));
  }
  glBindBufferARB(GL_ARRAY_BUFFER_ARB, 0);

  clearChunks();
  datasetPath_ = qpath;
  const std::string cacheName = path + ".cache";
  if (!fileExists(cacheName)) {
    pk::error("data " + cacheName + " not found");
    return false;
  }
  bool read = false;
  try {
    read = readCache(cacheName);
  } catch (const std::bad_alloc&) {
    // A cache that asks for more memory than there is: what was read so far is dropped.
    if (renderTarget && renderTarget->isCapturing()) renderTarget->endCapture();
    glActiveTextureARB(GL_TEXTURE0);
    clearChunks();
    pk::error("not enough memory to load " + cacheName);
  }
  if (read) return true;
  pk::error("data " + cacheName + " not readable");
  return false;
}

std::unique_ptr<GLTexture> IsosurfaceEngine::makeChunkTexture(bool floatKind, GLenum unit) {
  std::unique_ptr<GLTexture> t;
  if (floatKind && useRectTextures)
    t = std::make_unique<GLTextureRectangle>();
  else
    t = std::make_unique<GLTexture2D>();
  t->create(int(unit));
  setNearestClamp(*t);
  t->bind(); // applies the parameter table
  return t;
}

bool IsosurfaceEngine::readCache(const std::string& path) {
  CacheReader reader(textureWidth, textureHeight);
  if (!reader.open(path)) return false;
  // The compute back end keeps the chunks in buffers of its own; the fragment passes need the
  // render target for their output targets.
  const bool computeChunks = backend_ == ExtractionBackend::Compute;
  if (!computeChunks && !renderTarget) return false;
  auto beginCapture = [&] {
    if (!computeChunks) renderTarget->beginCapture();
  };
  auto endCapture = [&] {
    if (!computeChunks) renderTarget->endCapture();
  };

  beginCapture();
  modelBox = reader.header().box;
  viewScale = modelBox.viewScale();
  totalTets = 0;
  chunkTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  chunksInFile_ = int(reader.header().chunkCount);
  chunksLoaded_ = 0;
  // The chunk list changed: whatever part of it loads is extracted before it is drawn, also when
  // a later chunk fails.
  dirty = true;

  const int W = textureWidth, H = textureHeight;
  auto upload = [&](GLTexture& t, GLint internal, GLenum type, const void* pixels) {
    glTexImage2D(t.target(), 0, internal, W, H, 0, GL_RGBA, type, pixels);
    t.unbind();
  };
  ChunkData data;
  std::vector<float> tetFloats;
  const std::uint32_t count = reader.header().chunkCount;
  for (std::uint32_t k = 0; k < count; ++k) {
    chunks.push_back(std::make_unique<CacheChunk>());
    CacheChunk& chunk = *chunks.back();
    if (!computeChunks)
      for (GLBufferObject*& target : chunk.outputTargets)
        target = renderTarget->createBuffer(GLint(floatTextureFormat), W, H, GL_RGBA, GL_FLOAT, 0);
    const bool ok = reader.readChunk(data, [&](ChunkStage stage, const ChunkData& d) {
      const bool textures = !computeChunks;
      switch (stage) {
      case ChunkStage::VertexArray:
        if (!textures) break;
        chunk.vertexTex = makeChunkTexture(true, GL_TEXTURE1);
        upload(*chunk.vertexTex, GLint(floatTextureFormat), GL_FLOAT, d.vertexArray.data());
        break;
      case ChunkStage::WeightArray:
        if (!textures) break;
        chunk.weightTex = makeChunkTexture(true, GL_TEXTURE1);
        upload(*chunk.weightTex, GLint(floatTextureFormat), GL_FLOAT, d.weightArray.data());
        break;
      case ChunkStage::RowCounts:
        chunk.rowCount0 = d.rowCount0;
        chunk.rowCount1 = d.rowCount1;
        break;
      case ChunkStage::EdgeMap: {
        if (!textures) break;
        std::unique_ptr<GLTexture> edges = makeChunkTexture(false, GL_TEXTURE0);
        upload(*edges, GL_RGBA8, GL_UNSIGNED_BYTE, d.edgeMap.data());
        chunk.edgeMapTex.reset(static_cast<GLTexture2D*>(edges.release()));
        break;
      }
      case ChunkStage::TetCount:
        totalTets += d.tetCount;
        break;
      case ChunkStage::TetMap:
        if (!textures) break;
        d.tetMapAsFloat(tetFloats);
        chunk.tetMapTex = makeChunkTexture(true, GL_TEXTURE1);
        upload(*chunk.tetMapTex, GLint(floatTextureFormat), GL_FLOAT, tetFloats.data());
        break;
      case ChunkStage::Complete: {
        if (computeChunks) compute_->addChunk(d, W, H);
        chunk.rowTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
        for (std::uint32_t j = 0; j < d.intervalCount(); ++j)
          chunk.rowTree->insert(d.intervals[2 * j], d.intervals[2 * j + 1], int(j), 0);
        const ChunkData::Range range = d.intervalRange();
        chunkTree->insert(range.low, range.high, int(k), 0);
        ++chunksLoaded_;
        break;
      }
      default:
        break;
      }
    });
    if (!ok) {
      endCapture();
      glActiveTextureARB(GL_TEXTURE0);
      return false; // the chunks read completely stay usable
    }
    if (loadProgress) loadProgress(int(k) + 1, int(count));
  }
  glActiveTextureARB(GL_TEXTURE0);
  if (!reader.finish()) {
    endCapture();
    return false;
  }
  endCapture();
  dirty = true;
  rotation[0] = rotation[1] = rotation[2] = 0;
  const PkVec3f scale = modelBox.modelScale(), offset = modelBox.modelOffset();
  if (surfaceShader.bind()) {
    surfaceShader.setUniform4f("modelScale", scale.x, scale.y, scale.z, 1.0f);
    surfaceShader.setUniform4f("modelOffset", offset.x, offset.y, offset.z, 0.0f);
    surfaceShader.unbind();
  }
  return true;
}

void IsosurfaceEngine::clearChunks() {
  chunkTree.reset();
  totalTets = 0;
  chunksInFile_ = chunksLoaded_ = 0;
  // The output buffers go back to the render target with their chunk, so that opening dataset
  // after dataset does not pile up graphics memory.
  if (renderTarget)
    for (const auto& chunk : chunks)
      for (GLBufferObject* b : chunk->outputTargets)
        if (b) renderTarget->releaseBuffer(b);
  chunks.clear();
  stats_ = ExtractionStats(); // its spans named these chunks
  if (compute_) compute_->clearChunks();
  releasePrimitives();
}

void IsosurfaceEngine::releasePrimitives() {
  MemoryPool& pool = MemoryPool::shared();
  for (PrimitiveRecord* r : primitives) pool.release(r, sizeof(PrimitiveRecord));
  primitives.clear();
}

std::size_t IsosurfaceEngine::datasetGraphicsBytes() const {
  const std::size_t texels = std::size_t(textureWidth) * textureHeight;
  std::size_t bytes = 0;
  for (const auto& chunk : chunks) {
    bytes += (chunk->vertexTex ? 16 : 0) * texels + (chunk->weightTex ? 16 : 0) * texels +
             (chunk->tetMapTex ? 16 : 0) * texels + (chunk->edgeMapTex ? 4 : 0) * texels;
    for (GLBufferObject* b : chunk->outputTargets)
      if (b) bytes += std::size_t(b->size()) * 2; // the buffer and the texture it is read from
  }
  bytes += std::size_t(boundaryTriangles0 + boundaryTriangles1) * 3 * 2 * sizeof(PkVec3f);
  if (compute_) bytes += compute_->graphicsBytes();
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Extraction

std::vector<int> IsosurfaceEngine::activeChunks(float iso) const {
  // All ids first: the callers' row queries must not run inside the chunk query.
  std::vector<int> active;
  chunkTree->startQuery(iso);
  while (const IntervalEntry* e = chunkTree->next())
    if (e->id >= 0 && std::size_t(e->id) < chunks.size()) active.push_back(e->id);
  return active;
}

void IsosurfaceEngine::rowSpan(const CacheChunk& chunk, float iso, int start, int& first, int& end) const {
  first = start;
  int largest = 0;
  if (chunk.rowTree) {
    chunk.rowTree->startQuery(iso);
    while (const IntervalEntry* e = chunk.rowTree->next()) {
      first = std::min(first, e->id);
      largest = std::max(largest, e->id);
    }
  }
  end = 1 + largest;
}

int IsosurfaceEngine::throughputOf(uint32_t tets, float elapsed) {
  // Millions (2^20) of tetrahedra per second in single precision, truncated. A timer that did not
  // advance counts as one microsecond, and a figure beyond an int is reported as the largest int.
  const float mtets = float(tets) * (1.0f / 1024.0f) * (1.0f / 1024.0f);
  const float rate = mtets / std::max(elapsed, 1e-6f);
  return rate >= 2147483520.0f ? INT_MAX : int(rate);
}

void IsosurfaceEngine::extract() {
  releasePrimitives();
  primitives.reserve(std::size_t(textureWidth) * textureHeight);
  stats_ = ExtractionStats();
  if (!extractionReady_ || !chunkTree) {
    // Nothing can be extracted; the reason was said when the engine was set up.
    dirty = false;
    return;
  }

  const double t0 = secondsNow();
  const std::vector<int> active = activeChunks(isovalue);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  partDone(ExtractionPart::Queries);
  // Every active chunk's span of rows, in the chunk tree's order, up to a chunk over the row limit.
  std::vector<ChunkSpan> spans;
  bool overLimit = false;
  for (int k : active) {
    const CacheChunk& chunk = *chunks[std::size_t(k)];
    const int limit = std::max(chunk.rowCount0, chunk.rowCount1);
    if (limit > textureHeight) {
      overLimit = true;
      break;
    }
    int first = 0, end = 0;
    rowSpan(chunk, isovalue, limit, first, end);
    partDone(ExtractionPart::Queries);
    spans.push_back(ChunkSpan{k, first, end});
  }
  if (backend_ == ExtractionBackend::Compute) {
    compute_->extract(spans, isovalue, flatShading, onPartDone);
  } else {
    for (const ChunkSpan& s : spans) {
      rowMin = s.rowMin;
      rowEnd = s.rowEnd;
      extractChunk(s.chunk);
    }
  }
  for (const ChunkSpan& s : spans) {
    ++stats_.activeChunks;
    if (s.drawn()) {
      stats_.processedRows += s.rowEnd - s.rowMin;
      stats_.processedTets += std::int64_t(s.rowEnd - s.rowMin) * (textureWidth / 2);
    }
  }
  stats_.spans = std::move(spans);
  if (overLimit) {
    // The surface stays out of date: no timing, no figure.
    pk::error("mehr tets ?");
    return;
  }
  dirty = false;
  // Transparent drawing sorts triangles: their records are part of the extraction, as the passes'
  // read-back is.
  if (backend_ == ExtractionBackend::Compute && surfaceOpacity < 1.0f) buildComputePrimitives();
  // The stopwatch stops after the graphics processor has finished the passes.
  glFinish();
  const float elapsed = float(secondsNow() - t0);
  stats_.seconds = double(elapsed);
  stats_.throughput = throughputOf(totalTets, elapsed);
  reportExtractPerf(stats_.throughput);
}

void IsosurfaceEngine::buildComputePrimitives() {
  // One record per triangle: the batch in id (with the top bit set), its first vertex, and that
  // vertex's position for the depth sort.
  MemoryPool& pool = MemoryPool::shared();
  const int stride = ComputeExtraction::kFloatsPerVertex;
  for (int b = 0; b < compute_->batchCount(); ++b) {
    const std::vector<float> v = compute_->readVertices(b);
    for (std::size_t first = 0; first + 3 * stride <= v.size(); first += 3 * stride) {
      void* item = pool.allocate(sizeof(PrimitiveRecord));
      if (!item) return; // the pool is full: no more records (its warning was printed)
      auto* r = static_cast<PrimitiveRecord*>(item);
      *r = PrimitiveRecord{kComputePrimitive | std::uint32_t(b), std::int32_t(first / stride), v[first], v[first + 1],
                           v[first + 2]};
      primitives.push_back(r);
    }
  }
}

// ---------------------------------------------------------------------------------------------

void IsosurfaceEngine::releaseGL() {
  if (!glInitialised_) return;
  clearChunks();
  interpVerticesTex = interpGradientsTex = indicesTex = nullptr;
  ownedPassTextures_.clear();
  renderTarget.reset(); // with the pbuffer-mode pass textures
  if (compute_) compute_->release();
  compute_.reset();
  backend_ = ExtractionBackend::FragmentPasses;
  for (auto& b : boundaryBuffers) b.reset();
  boundaryTriangles0 = boundaryTriangles1 = 0;
  for (GLSLShader* p : {&interpolateProgram, &triangleProgram, &vertexGatherProgram, &normalGatherProgram,
                        &surfaceShader, &glassProgram})
    p->destroy();
  licTex.destroy();
  envMapTex.destroy();
  refractionTex.destroy();
  extractionReady_ = fragmentReady_ = false;
  glInitialised_ = false;
}
