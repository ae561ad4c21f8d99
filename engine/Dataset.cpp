#include "Dataset.h"

#include "GLBufferObject.h"
#include "GeometryFile.h"
#include "PvIntervalTree.h"

Dataset::Dataset(int width, int height) : textureWidth(width), textureHeight(height) {}

Dataset::~Dataset() = default;

void Dataset::createGL() {
  for (auto& b : boundaryBuffers) b = std::make_unique<GLBufferObject>(GL_ARRAY_BUFFER_ARB);
}

void Dataset::releaseGL() {
  clearChunks();
  for (auto& b : boundaryBuffers) b.reset();
  boundaryTriangles0 = boundaryTriangles1 = 0;
}

void Dataset::setNearestClamp(GLTexture& t) {
  t.setParameteri(GL_TEXTURE_WRAP_S, GL_CLAMP);
  t.setParameteri(GL_TEXTURE_WRAP_T, GL_CLAMP);
  t.setParameteri(GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  t.setParameteri(GL_TEXTURE_MIN_FILTER, GL_NEAREST);
}

bool Dataset::readGeometry(const std::string& path) {
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
  return true;
}

std::unique_ptr<GLTexture> Dataset::makeChunkTexture(bool floatKind, bool rect, GLenum unit) {
  std::unique_ptr<GLTexture> t;
  if (floatKind && rect)
    t = std::make_unique<GLTextureRectangle>();
  else
    t = std::make_unique<GLTexture2D>();
  t->create(int(unit));
  setNearestClamp(*t);
  t->bind(); // applies the parameter table
  return t;
}

bool Dataset::readCache(const std::string& path, const Upload& form, const std::function<void(int, int)>& progress) {
  CacheReader reader(textureWidth, textureHeight);
  if (!reader.open(path)) return false;
  reader.setUnusedArraysSkipped(true);
  clearChunks();
  modelBox = reader.header().box;
  chunkTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
  chunksInFile = int(reader.header().chunkCount);

  const int W = textureWidth, H = textureHeight;
  auto upload = [&](GLTexture& t, GLint internal, GLenum type, const void* pixels) {
    glTexImage2D(t.target(), 0, internal, W, H, 0, GL_RGBA, type, pixels);
    t.unbind();
  };
  const GLint floatFormat = GLint(form.floatFormat);
  ChunkData data;
  std::vector<float> tetFloats;
  bool accepted = true;
  const std::uint32_t count = reader.header().chunkCount;
  for (std::uint32_t k = 0; k < count; ++k) {
    chunks.push_back(std::make_unique<CacheChunk>());
    CacheChunk& chunk = *chunks.back();
    const bool ok = reader.readChunk(data, [&](ChunkStage stage, const ChunkData& d) {
      switch (stage) {
      case ChunkStage::VertexArray:
        if (!form.textures) break;
        chunk.vertexTex = makeChunkTexture(true, form.rectTextures, GL_TEXTURE1);
        upload(*chunk.vertexTex, floatFormat, GL_FLOAT, d.vertexArray.data());
        break;
      case ChunkStage::WeightArray:
        if (!form.textures) break;
        chunk.weightTex = makeChunkTexture(true, form.rectTextures, GL_TEXTURE1);
        upload(*chunk.weightTex, floatFormat, GL_FLOAT, d.weightArray.data());
        break;
      case ChunkStage::RowCounts:
        chunk.rowCount0 = d.rowCount0;
        chunk.rowCount1 = d.rowCount1;
        break;
      case ChunkStage::EdgeMap: {
        if (!form.textures) break;
        std::unique_ptr<GLTexture> edges = makeChunkTexture(false, false, GL_TEXTURE0);
        upload(*edges, GL_RGBA8, GL_UNSIGNED_BYTE, d.edgeMap.data());
        chunk.edgeMapTex.reset(static_cast<GLTexture2D*>(edges.release()));
        break;
      }
      case ChunkStage::TetCount:
        totalTets += d.tetCount;
        break;
      case ChunkStage::TetMap:
        if (!form.textures) break;
        d.tetMapAsFloat(tetFloats);
        chunk.tetMapTex = makeChunkTexture(true, form.rectTextures, GL_TEXTURE1);
        upload(*chunk.tetMapTex, floatFormat, GL_FLOAT, tetFloats.data());
        break;
      case ChunkStage::Complete: {
        if (form.chunkComplete && !form.chunkComplete(int(k), d)) {
          accepted = false;
          break;
        }
        chunk.rowTree = std::make_unique<PvIntervalTreeBTree>(0.0f, 1.0f, 1, false, 400);
        for (std::uint32_t j = 0; j < d.intervalCount(); ++j)
          chunk.rowTree->insert(d.intervals[2 * j], d.intervals[2 * j + 1], int(j), 0);
        const ChunkData::Range range = d.intervalRange();
        chunkTree->insert(range.low, range.high, int(k), 0);
        ++chunksLoaded;
        break;
      }
      default:
        break;
      }
    });
    glActiveTextureARB(GL_TEXTURE0);
    if (!ok || !accepted) return false; // the chunks read completely stay usable
    if (progress) progress(int(k) + 1, int(count));
  }
  return reader.finish();
}

void Dataset::clearChunks() {
  chunkTree.reset();
  chunks.clear();
  totalTets = 0;
  chunksInFile = chunksLoaded = 0;
}

std::size_t Dataset::graphicsBytes() const {
  const std::size_t texels = std::size_t(textureWidth) * textureHeight;
  std::size_t bytes = 0;
  for (const auto& chunk : chunks)
    bytes += (chunk->vertexTex ? 16 : 0) * texels + (chunk->weightTex ? 16 : 0) * texels +
             (chunk->tetMapTex ? 16 : 0) * texels + (chunk->edgeMapTex ? 4 : 0) * texels;
  bytes += std::size_t(boundaryTriangles0 + boundaryTriangles1) * 3 * 2 * sizeof(PkVec3f);
  return bytes;
}
