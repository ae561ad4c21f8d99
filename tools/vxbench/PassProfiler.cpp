#include "PassProfiler.h"

#include "IsosurfaceEngine.h"

#include <chrono>

namespace vxbench {

namespace {
using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}
} // namespace

bool profileExtraction(IsosurfaceEngine& engine, PassTimes& times) {
  times = PassTimes();
  if (!engine.extractionReady() || !engine.hasDataset()) return false;
  glFinish();
  const Clock::time_point begin = Clock::now();
  Clock::time_point lap = begin;
  engine.onPartDone = [&](ExtractionPart part) {
    glFinish();
    const Clock::time_point now = Clock::now();
    double* slot = nullptr;
    switch (part) {
    case ExtractionPart::Queries: slot = &times.trees; break;
    case ExtractionPart::Setup: slot = &times.setup; break;
    case ExtractionPart::Interpolation: slot = &times.interpolation; break;
    case ExtractionPart::Assembly: slot = &times.assembly; break;
    case ExtractionPart::VertexGather: slot = &times.vertexGather; break;
    case ExtractionPart::NormalGather: slot = &times.normalGather; break;
    case ExtractionPart::Copies: slot = &times.copies; break;
    case ExtractionPart::Marching: slot = &times.marching; break;
    case ExtractionPart::Residency: slot = &times.residency; break;
    }
    *slot += msBetween(lap, now);
    lap = now;
  };
  engine.requestExtraction();
  engine.extract();
  engine.onPartDone = nullptr;
  times.total = msBetween(begin, Clock::now());
  return !engine.dirty; // the extraction went through every active chunk
}

} // namespace vxbench
