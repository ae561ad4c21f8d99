#include "BenchReport.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>

namespace vxbench {

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char buffer[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(buffer, sizeof buffer, pattern, args);
  va_end(args);
  return buffer;
}

std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  std::ostringstream s;
  s.precision(9);
  s << v;
  return s.str();
}

} // namespace

std::string isoText(float iso) {
  // The shortest decimal text that reads back as the same float.
  for (int precision = 6; precision < 9; ++precision) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", precision, double(iso));
    if (std::strtof(text, nullptr) == iso) return text;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", double(iso));
  return text;
}

namespace {

double ms(double seconds) { return seconds * 1000.0; }

} // namespace

PassTimes& PassTimes::operator+=(const PassTimes& o) {
  trees += o.trees;
  setup += o.setup;
  interpolation += o.interpolation;
  marching += o.marching;
  residency += o.residency;
  assembly += o.assembly;
  vertexGather += o.vertexGather;
  normalGather += o.normalGather;
  copies += o.copies;
  total += o.total;
  return *this;
}

double DatasetReport::loadMBps() const {
  return loadSeconds > 0 ? double(geometryBytes + cacheBytes) / 1e6 / loadSeconds : 0.0;
}

double DatasetReport::bytesPerTet() const { return tetrahedra ? double(graphicsBytes) / tetrahedra : 0.0; }

double viewerRate(std::uint32_t totalTets, double seconds) {
  const float mtets = float(double(totalTets) / 1024.0 / 1024.0);
  const float elapsed = float(seconds);
  return double(mtets) / std::max(double(elapsed), 1e-6);
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      out += format("\\u%04x", c);
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

void printTable(std::ostream& out, const DatasetReport& r) {
  out << "vxbench  " << r.path << ": " << r.tetrahedra << " tetrahedra in " << r.chunks << " chunks\n";
  if (r.onDemand)
    out << format("  open        %.1f MB, chunk index in %.3f s; first frame after %.3f s (chunks on demand, "
                  "budget %.0f MB)\n",
                  double(r.geometryBytes + r.cacheBytes) / 1e6, r.loadSeconds, r.firstFrameSeconds,
                  double(r.budgetBytes) / 1048576.0);
  else
    out << format("  load        %.1f MB in %.3f s (%.1f MB/s)\n", double(r.geometryBytes + r.cacheBytes) / 1e6,
                  r.loadSeconds, r.loadMBps());
  out << format("  graphics    %.1f MB of textures and buffers, %.1f bytes per tetrahedron\n",
                double(r.graphicsBytes) / 1e6, r.bytesPerTet());
  if (!r.renderer.empty()) out << "  renderer    " << r.renderer << "\n";
  out << "  back end    " << (r.backend.empty() ? "fragment" : r.backend)
      << (r.backend != "compute" ? " (four fragment passes per chunk)"
          : r.subgroups          ? " (one marching pass into the drawn vertex buffers; 64-bit writes, one atomic per subgroup)"
                                 : " (one marching pass into the drawn vertex buffers; portable form)")
      << "\n";
  out << "  set-up      " << r.targetMode << ", " << (r.rectTextures ? "rectangle" : "2D") << " textures, "
      << (r.flat ? "flat" : "smooth") << " normals, "
      << (r.pixelBuffers ? "pixel-pack" : "host-memory") << " read-back; median of " << r.repeat
      << (r.repeat == 1 ? " extraction" : " extractions") << " after a warm-up\n\n";
  out << "     isovalue  chunks   rows  processed  triangles    quads   time ms  Mtets/s  Mtets/s processed";
  const bool anyCheck = std::any_of(r.results.begin(), r.results.end(), [](const IsoResult& x) { return x.checked; });
  out << (anyCheck ? "  check\n" : "\n");
  for (const IsoResult& x : r.results) {
    out << format("%13s", isoText(x.iso).c_str());
    if (!x.extracted) {
      out << "  extraction stopped\n";
      continue;
    }
    out << format("  %6d %6lld %10lld %10zu %8zu %9.3f %8d %18.2f", x.activeChunks, x.processedRows, x.processedTets,
                  x.crossing.triangles, x.crossing.quads, ms(x.medianSeconds), x.viewerThroughput,
                  x.processedThroughput);
    if (x.checked) out << (x.checkPassed ? "  ok" : "  FAILED");
    out << "\n";
  }
  if (!r.plyPath.empty())
    out << "wrote " << r.plyPath << ": " << r.plyCount.triangles << " triangles, " << r.plyCount.quads << " quads\n";
  const bool anyProfile = std::any_of(r.results.begin(), r.results.end(), [](const IsoResult& x) { return x.profiled; });
  if (!anyProfile) return;
  out << "\n  time per part in ms (median of " << r.repeat
      << ", glFinish after every part; read-back: what the count reads of the drawn buffers)\n";
  out << "     isovalue   trees  resident   setup  interp  assembly  v-gather  n-gather  copies  marching   total  plain  read-back\n";
  for (const IsoResult& x : r.results) {
    if (!x.profiled) continue;
    const PassTimes& p = x.passes;
    out << format("%13s %7.3f %9.3f %7.3f %7.3f %9.3f %9.3f %9.3f %7.3f %9.3f %7.3f %6.3f %10.3f\n", isoText(x.iso).c_str(),
                  p.trees, p.residency, p.setup, p.interpolation, p.assembly, p.vertexGather, p.normalGather, p.copies, p.marching, p.total,
                  ms(x.medianSeconds), ms(x.readBackSeconds));
  }
}

void printJson(std::ostream& out, const DatasetReport& r) {
  out << "{\n";
  out << "  \"dataset\": " << jsonString(r.path) << ",\n";
  out << "  \"tetrahedra\": " << r.tetrahedra << ",\n";
  out << "  \"chunks\": " << r.chunks << ",\n";
  out << "  \"geometryBytes\": " << r.geometryBytes << ",\n";
  out << "  \"cacheBytes\": " << r.cacheBytes << ",\n";
  out << "  \"loadSeconds\": " << number(r.loadSeconds) << ",\n";
  out << "  \"loadMBps\": " << number(r.loadMBps()) << ",\n";
  out << "  \"onDemand\": " << (r.onDemand ? "true" : "false") << ",\n";
  out << "  \"firstFrameSeconds\": " << number(r.firstFrameSeconds) << ",\n";
  out << "  \"budgetBytes\": " << r.budgetBytes << ",\n";
  out << "  \"graphicsBytes\": " << r.graphicsBytes << ",\n";
  out << "  \"graphicsBytesPerTet\": " << number(r.bytesPerTet()) << ",\n";
  out << "  \"renderer\": " << jsonString(r.renderer) << ",\n";
  out << "  \"targetMode\": " << jsonString(r.targetMode) << ",\n";
  out << "  \"subgroups\": " << (r.subgroups ? "true" : "false") << ",\n";
  out << "  \"backend\": " << jsonString(r.backend.empty() ? "fragment" : r.backend) << ",\n";
  out << "  \"rectTextures\": " << (r.rectTextures ? "true" : "false") << ",\n";
  out << "  \"flat\": " << (r.flat ? "true" : "false") << ",\n";
  out << "  \"pixelBuffers\": " << (r.pixelBuffers ? "true" : "false") << ",\n";
  out << "  \"repeat\": " << r.repeat << ",\n";
  if (!r.plyPath.empty())
    out << "  \"ply\": {\"path\": " << jsonString(r.plyPath) << ", \"triangles\": " << r.plyCount.triangles
        << ", \"quads\": " << r.plyCount.quads << "},\n";
  out << "  \"results\": [";
  for (std::size_t i = 0; i < r.results.size(); ++i) {
    const IsoResult& x = r.results[i];
    // One isovalue per line, so that line-based tools can pick the fields out.
    out << (i ? ",\n" : "\n") << "    {\"iso\": " << isoText(x.iso) << ", \"extracted\": " << (x.extracted ? "true" : "false")
        << ", \"activeChunks\": " << x.activeChunks << ", \"processedRows\": " << x.processedRows
        << ", \"processedTets\": " << x.processedTets << ", \"triangles\": " << x.crossing.triangles
        << ", \"quads\": " << x.crossing.quads << ", \"medianSeconds\": " << number(x.medianSeconds)
        << ", \"minSeconds\": " << number(x.minSeconds) << ", \"viewerThroughput\": " << x.viewerThroughput
        << ", \"throughput\": " << number(x.throughput) << ", \"processedThroughput\": " << number(x.processedThroughput)
        << ", \"readBackSeconds\": " << number(x.readBackSeconds);
    if (x.checked) out << ", \"check\": " << (x.checkPassed ? "true" : "false");
    if (x.profiled) {
      const PassTimes& p = x.passes;
      out << ", \"passesMs\": {\"trees\": " << number(p.trees) << ", \"setup\": " << number(p.setup)
          << ", \"interpolation\": " << number(p.interpolation) << ", \"assembly\": " << number(p.assembly)
          << ", \"vertexGather\": " << number(p.vertexGather) << ", \"normalGather\": " << number(p.normalGather)
          << ", \"copies\": " << number(p.copies) << ", \"marching\": " << number(p.marching) << ", \"residency\": " << number(p.residency) << ", \"total\": " << number(p.total) << "}";
    }
    out << "}";
  }
  out << (r.results.empty() ? "]\n" : "\n  ]\n");
  out << "}\n";
}

} // namespace vxbench
