#include "Bench.h"

#include "AppendedSurface.h"
#include "BenchReport.h"
#include "datasetbuild/MeshDatasets.h"
#include "CacheFile.h"
#include "ComputeExtraction.h"
#include "FragmentPasses.h"
#include "GLRenderToTexture.h"
#include "HeadlessContext.h"
#include "IsosurfaceEngine.h"
#include "PassProfiler.h"
#include "PkDiag.h"
#include "ReferenceChunks.h"
#include "ReferenceExtractor.h"
#include "SurfaceSoup.h"

#include <QFile>
#include <QImage>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>

namespace vxbench {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::uint64_t fileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : std::uint64_t(size);
}

const char* targetName(int target) {
  static const char* names[4] = {"positions of half 0", "positions of half 1", "normals of half 0",
                                 "normals of half 1"};
  return names[target];
}

// Every active chunk's four output buffers (or, for an appending back end, the slots of its vertex
// buffers) against the CPU reference, and the set of active chunks against the reference's. Prints
// an error line per difference (a few per isovalue at most).
bool checkAgainstReference(IsosurfaceEngine& engine, ReferenceChunks& cpu, float iso, bool flat,
                           const std::vector<ChunkSpan>& spans, const SlotVertices* appended) {
  SlotVertices expectedSlots;
  const int W = engine.textureWidth;
  ReferenceExtractor reference(W, engine.textureHeight);
  ReferenceOptions options;
  options.flatShading = flat;
  std::set<int> gpuActive;
  for (const ChunkSpan& s : spans) gpuActive.insert(s.chunk);
  int reported = 0, failures = 0;
  auto fail = [&](const std::string& text) {
    if (reported++ < 5) pk::error("check failed at isovalue " + isoText(iso) + ": " + text);
    ++failures;
  };
  if (cpu.size() != engine.dataset.chunks.size())
    fail("the cache has " + std::to_string(cpu.size()) + " chunks, the engine holds " +
         std::to_string(engine.dataset.chunks.size()));
  const std::size_t count = std::min(cpu.size(), engine.dataset.chunks.size());
  ReferenceChunkOutput out;
  for (std::size_t k = 0; k < count; ++k) {
    // Only the chunks whose row span is active are read whole.
    const RowSpan span = chunkRowSpan(cpu.outline(k), engine.textureHeight, iso);
    const ChunkData* chunk = nullptr;
    if (span.active && !span.overLimit && !cpu.load(k, chunk)) {
      fail("chunk " + std::to_string(k) + " of the cache cannot be read");
      continue;
    }
    const bool active = chunk && reference.extractChunk(*chunk, iso, out, options);
    const bool gpu = gpuActive.count(int(k)) != 0;
    if (active != gpu) {
      fail("chunk " + std::to_string(k) + (gpu ? " was extracted, but the reference finds it inactive"
                                               : " is active in the reference, but was not extracted"));
      continue;
    }
    if (!active) continue;
    if (appended) {
      referenceSlots(out, int(k), W, engine.textureHeight, expectedSlots);
      continue;
    }
    // The passes write the rows of their span alone: it must be the reference's, and only its
    // window rows hold this extraction.
    const auto drawn = std::find_if(spans.begin(), spans.end(), [&](const ChunkSpan& s) { return s.chunk == int(k); });
    if (drawn->rowMin != out.span.rowMin || drawn->rowEnd != out.span.rowEnd) {
      fail("chunk " + std::to_string(k) + ": rows [" + std::to_string(drawn->rowMin) + ", " +
           std::to_string(drawn->rowEnd) + ") instead of [" + std::to_string(out.span.rowMin) + ", " +
           std::to_string(out.span.rowEnd) + ")");
      continue;
    }
    const int H = engine.textureHeight;
    for (int t = 0; t < 4; ++t) {
      const std::vector<float>& expected = t < 2 ? out.positions[t] : out.normals[t - 2];
      const TargetDifference d =
          compareTargets(engine.readOutputBuffer(int(k), t), expected, W, H - out.span.end, H - out.span.first);
      if (!d.same())
        fail("chunk " + std::to_string(k) + ", " + targetName(t) + ": " + std::to_string(d.differing) +
             " values differ, the first at " + d.first);
    }
  }
  if (appended) {
    const TargetDifference d = compareSlots(*appended, expectedSlots);
    if (!d.same()) fail(std::to_string(d.differing) + " slots differ, the first at " + d.first);
  }
  if (reported > 5) pk::ErrorLine() << "check at isovalue " << isoText(iso) << ": " << reported - 5 << " more differences";
  return failures == 0;
}

PassTimes medianPasses(const std::vector<PassTimes>& runs) {
  PassTimes m;
  auto pick = [&](double PassTimes::*field) {
    std::vector<double> v;
    for (const PassTimes& r : runs) v.push_back(r.*field);
    m.*field = median(v);
  };
  for (double PassTimes::*f : {&PassTimes::trees, &PassTimes::setup, &PassTimes::interpolation, &PassTimes::assembly,
                               &PassTimes::vertexGather, &PassTimes::normalGather, &PassTimes::copies, &PassTimes::marching,
                               &PassTimes::residency, &PassTimes::total})
    pick(f);
  return m;
}

// One isovalue: warm-up, timed repeats, count (and soup), check, profile.
IsoResult measure(IsosurfaceEngine& engine, const BenchOptions& options, float iso, ReferenceChunks* cpu,
                  PolygonSoup* soup) {
  IsoResult x;
  x.iso = iso;
  engine.isovalue = iso;
  engine.flatShading = options.flat;
  engine.requestExtraction();
  engine.extract(); // warm-up: the first extraction at a new span pays for caches and driver state
  if (engine.dirty) return x; // stopped by a chunk over the row limit; the engine said so
  std::vector<double> seconds;
  for (int r = 0; r < options.repeat; ++r) {
    engine.requestExtraction();
    engine.extract();
    seconds.push_back(engine.lastExtraction().seconds);
  }
  const ExtractionStats& stats = engine.lastExtraction();
  x.extracted = true;
  x.activeChunks = stats.activeChunks;
  x.processedRows = stats.processedRows;
  x.processedTets = stats.processedTets;
  x.medianSeconds = median(seconds);
  x.minSeconds = *std::min_element(seconds.begin(), seconds.end());
  x.throughput = viewerRate(engine.dataset.totalTets, x.medianSeconds);
  x.viewerThroughput = IsosurfaceEngine::throughputOf(engine.dataset.totalTets, float(x.medianSeconds)); // as plotted
  x.processedThroughput = double(x.processedTets) / 1048576.0 / std::max(x.medianSeconds, 1e-6);

  // What is counted, exported and checked is read from the buffers the view draws from.
  const std::vector<ChunkSpan> spans = engine.lastExtraction().spans;
  const int W = engine.textureWidth, H = engine.textureHeight;
  SlotVertices drawnSlots;
  const ComputeExtraction* compute = engine.computeBackend();
  bool slotsSound = true;
  if (compute) {
    const Clock::time_point t0 = Clock::now();
    for (int b = 0; b < compute->batchCount(); ++b) slotsSound = groupBySlot(compute->readVertices(b), drawnSlots) && slotsSound;
    x.readBackSeconds += secondsSince(t0);
    x.crossing = countSlots(drawnSlots);
    if (soup) appendSlots(drawnSlots, *soup);
    if (!slotsSound) pk::error("vxbench: the vertex buffers at isovalue " + isoText(iso) + " hold a broken slot group");
  }
  for (const ChunkSpan& s : compute ? std::vector<ChunkSpan>() : spans) {
    if (!s.drawn()) continue;
    for (int h = 0; h < 2; ++h) {
      const Clock::time_point t0 = Clock::now();
      const std::vector<float> positions = engine.readOutputBuffer(s.chunk, h);
      x.readBackSeconds += secondsSince(t0);
      // Data rows [rowMin, rowEnd) are window rows [H − rowEnd, H − rowMin).
      x.crossing += countPrimitives(positions, W, H - s.rowEnd, H - s.rowMin);
      if (soup) appendPrimitives(positions, engine.readOutputBuffer(s.chunk, 2 + h), W, H - s.rowEnd, H - s.rowMin, *soup);
    }
  }
  if (cpu) {
    x.checked = true;
    x.checkPassed = checkAgainstReference(engine, *cpu, iso, options.flat, spans, compute ? &drawnSlots : nullptr) && slotsSound;
  }
  if (options.profile) {
    std::vector<PassTimes> runs;
    for (int r = 0; r < options.repeat; ++r) {
      PassTimes t;
      if (!profileExtraction(engine, t)) break;
      runs.push_back(t);
    }
    if (!runs.empty()) {
      x.profiled = true;
      x.passes = medianPasses(runs);
    }
  }
  return x;
}

int runBenchmark(IsosurfaceEngine& engine, const BenchOptions& options, DatasetReport& report) {
  ReferenceChunks cpu(engine.textureWidth, engine.textureHeight);
  if (options.check && !cpu.open(options.dataset + ".cache")) {
    pk::error("vxbench: the cache cannot be read on the host for --check");
    return 1;
  }
  PolygonSoup soup;
  const bool exporting = !options.plyPath.empty();
  bool ok = true;
  for (float iso : options.isovalues) {
    report.results.push_back(measure(engine, options, iso, options.check ? &cpu : nullptr, exporting ? &soup : nullptr));
    const IsoResult& x = report.results.back();
    if (!x.extracted || (x.checked && !x.checkPassed)) ok = false;
  }
  if (exporting && report.results.back().extracted) {
    if (!writePly(options.plyPath, soup)) return 1;
    report.plyPath = options.plyPath;
    report.plyCount = soup.count;
  }
  return ok ? 0 : 1;
}

// After the table: the check's verdict in one line.
void reportCheck(const BenchOptions& options, const DatasetReport& report) {
  if (!options.check) return;
  const std::size_t passed = std::count_if(report.results.begin(), report.results.end(),
                                           [](const IsoResult& x) { return x.checked && x.checkPassed; });
  if (passed == report.results.size()) {
    if (!options.json) std::cout << "check passed at all " << passed << " isovalues\n";
  } else {
    std::cout.flush();
    pk::ErrorLine() << "vxbench: check failed at " << report.results.size() - passed << " of "
                    << report.results.size() << " isovalues";
  }
}

const char* shadingName(int mode) {
  return mode == 1 ? "3D texture" : mode == 2 ? "glass" : "shaded";
}

int renderPicture(IsosurfaceEngine& engine, const BenchOptions& options) {
  engine.isovalue = options.isovalues.front();
  engine.flatShading = options.flat;
  engine.shadingMode = options.shadingMode;
  engine.surfaceOpacity = options.opacity;
  engine.multiSurfaceOn = options.multi;
  for (int i = 0; i < 3; ++i) engine.rotation[i] = options.rotation[i];
  engine.requestExtraction();
  // Only for this frame: the camera steps back along its viewing direction.
  const PkVec3f saved = engine.camera.position;
  engine.camera.position = saved - options.distance * engine.camera.direction;
  while (glGetError() != GL_NO_ERROR) {
  }
  const Clock::time_point t0 = Clock::now();
  const QImage frame = engine.renderFrame(options.width, options.height);
  const double seconds = secondsSince(t0);
  const GLenum error = glGetError();
  engine.camera.position = saved;
  if (frame.isNull()) {
    pk::error("vxbench: the frame could not be drawn (no framebuffer object of that size)");
    return 1;
  }
  if (!frame.save(QString::fromLocal8Bit(options.renderPath.c_str()), "PNG")) {
    pk::error("vxbench: cannot write " + options.renderPath);
    return 1;
  }
  const ExtractionStats& stats = engine.lastExtraction();
  if (options.json) {
    std::cout << "{\"render\": " << jsonString(options.renderPath) << ", \"width\": " << frame.width()
              << ", \"height\": " << frame.height() << ", \"iso\": " << engine.isovalue
              << ", \"shadingMode\": " << options.shadingMode << ", \"opacity\": " << options.opacity
              << ", \"multi\": " << (options.multi ? "true" : "false") << ", \"frameSeconds\": " << seconds
              << ", \"activeChunks\": " << stats.activeChunks << "}\n";
  } else {
    std::printf("wrote %s: %dx%d, isovalue %g, %s, opacity %g%s, frame %.1f ms\n", options.renderPath.c_str(),
                frame.width(), frame.height(), double(engine.isovalue), shadingName(options.shadingMode),
                double(options.opacity), options.multi ? ", multiple surfaces" : "", seconds * 1000.0);
  }
  if (error != GL_NO_ERROR) {
    char text[80];
    std::snprintf(text, sizeof text, "vxbench: OpenGL error 0x%04x while drawing the frame", unsigned(error));
    pk::error(text);
    return 1;
  }
  return 0;
}

// Resident memory of this process in bytes (VmRSS), 0 where /proc cannot tell.
std::size_t residentBytes() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  std::size_t kb = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmRSS: %zu kB", &kb) == 1) break;
  std::fclose(f);
  return kb * 1024;
}

// The soak: open the dataset, extract at every isovalue, close it, N times in one engine. Memory
// after the first and the last round must be the same where nothing leaks.
int soak(IsosurfaceEngine& engine, const BenchOptions& options) {
  const QString path = QString::fromLocal8Bit(options.dataset.c_str());
  std::size_t resident[2] = {0, 0}, graphics[2] = {0, 0}, residentSecond = 0;
  for (int round = 0; round < options.reopen; ++round) {
    if (!engine.loadDataset(path)) {
      pk::error("vxbench: " + options.dataset + " could not be loaded in round " + std::to_string(round + 1));
      return 1;
    }
    for (float iso : options.isovalues) {
      engine.isovalue = iso;
      engine.requestExtraction();
      engine.extract();
    }
    glFinish();
    const int at = round == 0 ? 0 : 1;
    graphics[at] = engine.datasetGraphicsBytes();
    engine.clearChunks();
    resident[at] = residentBytes();
    if (round == 1) residentSecond = resident[1];
  }
  if (options.reopen == 1) resident[1] = resident[0], graphics[1] = graphics[0];
  const double change = resident[0] ? 100.0 * (double(resident[1]) - double(resident[0])) / double(resident[0]) : 0.0;
  if (options.json) {
    std::cout << "{\"reopen\": " << options.reopen << ", \"residentFirst\": " << resident[0]
              << ", \"residentSecond\": " << residentSecond << ", \"residentLast\": " << resident[1]
              << ", \"graphicsFirst\": " << graphics[0]
              << ", \"graphicsLast\": " << graphics[1] << "}\n";
  } else {
    std::printf("reopened %s %d times: resident memory %.1f MB after the first round, %.1f MB after the last "
                "(%+.1f%%); graphics memory %.1f MB and %.1f MB\n",
                options.dataset.c_str(), options.reopen, double(resident[0]) / 1e6, double(resident[1]) / 1e6, change,
                double(graphics[0]) / 1e6, double(graphics[1]) / 1e6);
  }
  std::fflush(stdout);
  return 0;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5));
  return v[i];
}

// The isovalue from 0 to 1 in steps of 0.01, as the slider gives it, one extraction per step.
void sweep(IsosurfaceEngine& engine, const BenchOptions& options) {
  const Dataset::ResidencyStats before = engine.dataset.residency();
  std::vector<double> latency;
  std::size_t peak = 0;
  for (int step = 0; step <= 100; ++step) {
    const Clock::time_point t0 = Clock::now();
    engine.setIso(step);
    engine.requestExtraction();
    engine.extract();
    glFinish();
    latency.push_back(secondsSince(t0));
    peak = std::max(peak, engine.datasetGraphicsBytes());
  }
  const Dataset::ResidencyStats& after = engine.dataset.residency();
  const double medianMs = 1e3 * median(latency), p95Ms = 1e3 * percentile(latency, 0.95);
  const long long loads = after.loads - before.loads, evictions = after.evictions - before.evictions;
  const double readMB = double(after.bytesRead - before.bytesRead) / 1e6;
  if (options.json) {
    std::cout << "{\"sweepSteps\": 101, \"medianMs\": " << medianMs << ", \"p95Ms\": " << p95Ms
              << ", \"chunkLoads\": " << loads << ", \"evictions\": " << evictions << ", \"readMB\": " << readMB
              << ", \"peakResidentBytes\": " << after.peakBytes << ", \"peakGraphicsBytes\": " << peak
              << ", \"budgetBytes\": " << engine.dataset.budgetBytes() << "}\n";
  } else {
    std::printf("sweep    101 steps from 0 to 1: step latency median %.2f ms, 95th percentile %.2f ms, longest "
                "%.2f ms\n         %lld chunk loads, %lld evictions, %.1f MB read; resident chunks at most %.1f MB "
                "of a %.1f MB budget (all graphics memory at most %.1f MB)\n",
                medianMs, p95Ms, 1e3 * percentile(latency, 1.0), loads, evictions, readMB,
                double(after.peakBytes) / 1048576.0, double(engine.dataset.budgetBytes()) / 1048576.0,
                double(peak) / 1048576.0);
  }
  std::fflush(stdout);
}

int runWithEngine(IsosurfaceEngine& engine, const BenchOptions& options) {
  engine.options.chunksOnDemand = options.onDemand;
  engine.options.portableCompute = options.portable;
  engine.options.gpuBudgetBytes = std::size_t(options.gpuBudgetMB) << 20;
  engine.options.renderTargetMode = options.renderTargetMode;
  engine.options.rectTextures = options.rectTextures;
  parseBackend(options.backend, engine.options.backend);
  engine.initializeGL();
  if (!engine.extractionReady()) {
    pk::error("vxbench: the isosurface cannot be extracted with this set-up (see the message above)");
    return 1;
  }
  if (options.reopen > 0 && soak(engine, options) != 0) return 1;
  DatasetReport report;
  report.path = options.dataset;
  const Clock::time_point t0 = Clock::now();
  const bool loaded = engine.loadDataset(QString::fromLocal8Bit(options.dataset.c_str()));
  report.loadSeconds = secondsSince(t0);
  if (!loaded) {
    pk::error("vxbench: " + options.dataset + " could not be loaded");
    return 1;
  }
  if (options.rendering()) return renderPicture(engine, options);
  report.onDemand = engine.dataset.onDemand();
  report.budgetBytes = engine.dataset.budgetBytes();
  if (report.onDemand) {
    // The viewer's first frame: the surface at 0.5 with the chunks it needs.
    engine.isovalue = 0.5f;
    engine.requestExtraction();
    engine.renderFrame(512, 512);
    report.firstFrameSeconds = secondsSince(t0);
  }
  if (options.sweep) {
    sweep(engine, options);
    if (!options.check && !options.profile) return 0;
  }

  report.tetrahedra = engine.dataset.totalTets;
  report.chunks = engine.dataset.chunks.size();
  report.geometryBytes = fileSize(options.dataset);
  report.cacheBytes = fileSize(options.dataset + ".cache");
  report.graphicsBytes = engine.datasetGraphicsBytes();
  auto glText = [](GLenum name) {
    const GLubyte* text = glGetString(name);
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string("?");
  };
  report.renderer = glText(GL_RENDERER) + ", OpenGL " + glText(GL_VERSION);
  const FragmentPassExtractor* passes = engine.fragmentBackend();
  report.targetMode = !passes                ? "no render target"
                      : passes->renderTarget() && passes->renderTarget()->mode() == GLRenderToTexture::kPbufferMode
                          ? "pbuffers"
                          : "framebuffer objects";
  report.rectTextures = passes && passes->useRectTextures != 0;
  report.backend = backendName(engine.activeBackend());
  report.subgroups = engine.computeBackend() && engine.computeBackend()->subgroups();
  report.flat = options.flat;
  report.pixelBuffers = !GLRenderToTexture::pixelBufferObjectsIgnored();
  report.repeat = options.repeat;
  const int status = runBenchmark(engine, options, report);
  if (options.json) {
    printJson(std::cout, report);
  } else {
    printTable(std::cout, report);
  }
  reportCheck(options, report);
  std::cout.flush();
  return status;
}

} // namespace

bool isDataset(const std::string& path) {
  return path.size() > 3 && path.compare(path.size() - 3, 3, ".vx") == 0;
}

bool buildFromMesh(BenchOptions& options) {
  // The viewer's way: the dataset of the mesh's content and field from the cache folder, built
  // there first when it is not.
  MeshToDataset job(QString::fromLocal8Bit(options.dataset.c_str()));
  const Clock::time_point t0 = Clock::now();
  if (!job.hashContent()) return false;
  QString dataset;
  const QStringList cached = job.cachedDatasets();
  if (options.field.empty() && cached.size() == 1) dataset = cached.first();
  if (dataset.isEmpty()) {
    if (!job.read()) return false;
    const QString field = QString::fromLocal8Bit(options.field.c_str());
    const QStringList choices = job.fieldChoices();
    const QString choice = field.isEmpty() ? choices.value(0) : field;
    if (!choices.contains(choice)) {
      pk::error("vxbench: " + options.dataset + " has no field " + options.field + " (it has " +
                choices.join(QStringLiteral(", ")).toStdString() + ")");
      return false;
    }
    dataset = job.datasetPath(choice);
    if (dataset.isEmpty()) {
      pk::error("vxbench: no cache folder for the dataset of " + options.dataset);
      return false;
    }
    if (!QFile::exists(dataset + QStringLiteral(".cache")) && !job.build(choice)) return false;
  }
  if (!options.json)
    std::printf("dataset of %s: %s (%.1f s)\n", options.dataset.c_str(), dataset.toLocal8Bit().constData(),
                secondsSince(t0));
  options.dataset = dataset.toLocal8Bit().toStdString();
  return true;
}

int runBench(const BenchOptions& options) {
  HeadlessContext context;
  if (!context.ok()) {
    pk::error("vxbench: no OpenGL context could be made current (or GLEW could not be initialised)");
    return 1;
  }
  if (options.noPixelBuffers) GLRenderToTexture::setPixelBufferObjectsIgnored(true);
  IsosurfaceEngine engine;
  const int status = runWithEngine(engine, options);
  engine.releaseGL();
  return status;
}

} // namespace vxbench
