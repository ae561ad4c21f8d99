#include "PassProfiler.h"

#include "GLBufferObject.h"
#include "GLRenderToTexture.h"
#include "IsosurfaceEngine.h"
#include "PvIntervalTree.h"

#include <algorithm>
#include <chrono>

namespace vxbench {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Adds the time from `start` to now, after glFinish, to `part`, and restarts the clock.
void lap(Clock::time_point& start, double& part) {
  glFinish();
  const Clock::time_point now = Clock::now();
  part += std::chrono::duration<double, std::milli>(now - start).count();
  start = now;
}

float rowY(const IsosurfaceEngine& e, int row) { return 1.0f - float(2 * row) * e.invTextureHeight; }

void rowQuad(float yMin, float yEnd) {
  glBegin(GL_QUADS);
  glVertex2f(-1, yEnd);
  glVertex2f(1, yEnd);
  glVertex2f(1, yMin);
  glVertex2f(-1, yMin);
  glEnd();
}

// The passes of one chunk, as the engine's extractChunk runs them, with a lap after every part.
void profileChunk(IsosurfaceEngine& e, CacheChunk& chunk, PassTimes& t) {
  Clock::time_point start = Clock::now();
  glPushAttrib(GL_ALL_ATTRIB_BITS);
  glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
  glDisable(GL_CULL_FACE);
  glDisable(GL_LIGHTING);
  glDisable(GL_POINT_SMOOTH);
  glDepthMask(GL_FALSE);
  glPointSize(1);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  GLRenderToTexture& target = *e.renderTarget;
  target.beginCapture();
  lap(start, t.setup);

  const int W = e.textureWidth, H = e.textureHeight;
  const float yMin = rowY(e, e.rowMin), yEnd = rowY(e, e.rowEnd), yEdge = rowY(e, chunk.rowCount1);
  glClearColor(1, 1, 1, -1);
  e.interpolateProgram.bind();
  e.interpolateProgram.setUniform2f("Flags", e.isovalue, -1.0f);
  chunk.edgeMapTex->bind();
  GLTexture* runs[2][2] = {{e.interpVerticesTex, chunk.vertexTex.get()}, {e.interpGradientsTex, chunk.weightTex.get()}};
  for (auto& run : runs) {
    target.setTarget(run[0], 0, 0);
    run[1]->bind();
    glClear(GL_COLOR_BUFFER_BIT);
    glBegin(GL_QUADS);
    glVertex2f(-1, yEnd);
    glVertex2f(0, yEnd);
    glVertex2f(0, yMin);
    glVertex2f(-1, yMin);
    glVertex2f(0, yEdge);
    glVertex2f(1, yEdge);
    glVertex2f(1, 1);
    glVertex2f(0, 1);
    glEnd();
    run[1]->unbind();
    lap(start, t.interpolation);
  }
  chunk.edgeMapTex->unbind();
  e.interpolateProgram.unbind();

  glViewport(0, 0, W / 2, H);
  glClearColor(0, 0, 0, 0);
  target.setTarget(e.indicesTex, 0, 0);
  e.triangleProgram.bind();
  e.interpVerticesTex->bind();
  chunk.tetMapTex->bind();
  glClear(GL_COLOR_BUFFER_BIT);
  rowQuad(yMin, yEnd);
  chunk.tetMapTex->unbind();
  e.interpVerticesTex->unbind();
  e.triangleProgram.unbind();
  lap(start, t.assembly);

  glViewport(0, 0, W, H);
  glClearColor(1, 1, 1, -1);
  e.vertexGatherProgram.bind();
  e.indicesTex->bind(GL_TEXTURE1);
  e.interpVerticesTex->bind();
  for (int h = 0; h < 2; ++h) {
    target.setTarget(chunk.outputTargets[h]); // leaving a buffer target copies it
    lap(start, h == 0 ? t.vertexGather : t.copies);
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    e.vertexGatherProgram.setUniform2f("Offset", 0.25f * float(h), 0);
    glClear(GL_COLOR_BUFFER_BIT);
    rowQuad(yMin, yEnd);
    lap(start, t.vertexGather);
  }
  e.interpVerticesTex->unbind();
  e.vertexGatherProgram.unbind();

  GLSLShader& gather = e.flatShading ? e.normalGatherProgram : e.vertexGatherProgram;
  gather.bind();
  e.interpGradientsTex->bind();
  for (int h = 0; h < 2; ++h) {
    target.setTarget(chunk.outputTargets[2 + h]);
    lap(start, t.copies);
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    gather.setUniform2f("Offset", 0.25f * float(h), 0);
    glClear(GL_COLOR_BUFFER_BIT);
    rowQuad(yMin, yEnd);
    lap(start, t.normalGather);
  }
  e.interpGradientsTex->unbind();
  e.indicesTex->unbind(GL_TEXTURE1);
  gather.unbind();

  target.endCapture(); // copies the last buffer target
  lap(start, t.copies);
  glPopClientAttrib();
  glPopAttrib();
  lap(start, t.setup);
}

bool chunkUsable(const CacheChunk& chunk) {
  if (!chunk.vertexTex || !chunk.weightTex || !chunk.edgeMapTex || !chunk.tetMapTex) return false;
  for (GLBufferObject* b : chunk.outputTargets)
    if (!b) return false;
  return true;
}

} // namespace

bool queryChunkSpans(IsosurfaceEngine& engine, float iso, std::vector<ChunkSpan>& spans) {
  spans.clear();
  if (!engine.chunkTree) return true;
  std::vector<int> active;
  engine.chunkTree->startQuery(iso);
  while (const IntervalEntry* e = engine.chunkTree->next()) active.push_back(e->id);
  for (int k : active) {
    if (k < 0 || std::size_t(k) >= engine.chunks.size()) continue;
    const CacheChunk& chunk = *engine.chunks[std::size_t(k)];
    const int limit = std::max(chunk.rowCount0, chunk.rowCount1);
    if (limit > engine.textureHeight) return false;
    ChunkSpan s;
    s.chunk = k;
    s.rowMin = limit;
    int largest = 0;
    if (chunk.rowTree) {
      chunk.rowTree->startQuery(iso);
      while (const IntervalEntry* e = chunk.rowTree->next()) {
        s.rowMin = std::min(s.rowMin, e->id);
        largest = std::max(largest, e->id);
      }
    }
    s.rowEnd = 1 + largest;
    spans.push_back(s);
  }
  return true;
}

bool profileExtraction(IsosurfaceEngine& engine, PassTimes& times) {
  times = PassTimes();
  if (!engine.extractionReady() || !engine.chunkTree || !engine.renderTarget) return false;
  const Clock::time_point begin = Clock::now();
  std::vector<ChunkSpan> spans;
  if (!queryChunkSpans(engine, engine.isovalue, spans)) return false;
  times.trees = msSince(begin);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  for (const ChunkSpan& s : spans) {
    CacheChunk& chunk = *engine.chunks[std::size_t(s.chunk)];
    if (!chunkUsable(chunk)) continue;
    engine.rowMin = s.rowMin;
    engine.rowEnd = s.rowEnd;
    profileChunk(engine, chunk, times);
  }
  glFinish();
  times.total = msSince(begin);
  return true;
}

} // namespace vxbench
