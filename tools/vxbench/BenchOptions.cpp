#include "BenchOptions.h"

#include "PkDiag.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace vxbench {

namespace {

bool parseFloat(const std::string& text, float& out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const float v = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parseInt(const std::string& text, int low, int high, int& out) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || v < low || v > high) return false;
  out = int(v);
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

} // namespace

const std::vector<float>& defaultIsovalues() {
  static const std::vector<float> values = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f};
  return values;
}

bool parseFloatList(const std::string& text, std::vector<float>& out) {
  std::vector<float> values;
  for (const std::string& part : split(text, ',')) {
    float v = 0;
    if (!parseFloat(part, v)) return false;
    values.push_back(v);
  }
  out = values;
  return true;
}

bool parseSize(const std::string& text, int& width, int& height) {
  const std::vector<std::string> parts = split(text, 'x');
  int w = 0, h = 0;
  if (parts.size() != 2 || !parseInt(parts[0], 1, 8192, w) || !parseInt(parts[1], 1, 8192, h)) return false;
  width = w;
  height = h;
  return true;
}

bool parseTriple(const std::string& text, float out[3]) {
  std::vector<float> values;
  if (!parseFloatList(text, values) || values.size() != 3) return false;
  for (int i = 0; i < 3; ++i) out[i] = values[std::size_t(i)];
  return true;
}

const char* usageText() {
  return "usage: vxbench DATASET.vx|MESH [--field NAME] [--iso LIST] [--repeat N] [--backend auto|fragment|compute]\n"
         "                          [--mode fbo|pbuffer] [--rect] [--flat] [--portable]\n"
         "                          [--check] [--export-ply FILE] [--profile] [--no-pbo] [--json]\n"
         "                          [--reopen N] [--on-demand] [--gpu-budget MB] [--sweep]\n"
         "       vxbench DATASET.vx [--iso V] --render OUT.png [--mode-shading 0|1|2] [--opacity O]\n"
         "                          [--multi] [--size WxH] [--rotate X,Y,Z] [--distance D] [--flat]\n"
         "\n"
         "Loads the dataset on an offscreen OpenGL context (an X display is needed; Xvfb will do),\n"
         "extracts the isosurface at every isovalue and prints what the extraction touched and how fast\n"
         "it was.\n"
         "  MESH                any mesh vxbuild reads (.vtu, .msh, .exo, ...): built into a dataset first\n"
         "  --field NAME        the mesh's point field to use (default: its first)\n"
         "  --iso LIST          isovalues separated by commas (default 0.1,0.2,...,0.9; 0.5 with --render)\n"
         "  --repeat N          timed extractions per isovalue, after one untimed warm-up (default 5)\n"
         "  --backend B         extraction back end: compute (one marching pass, where the context has\n"
         "                      compute shaders), fragment (the four passes per chunk), or auto (default:\n"
         "                      compute where available, fragment with --mode pbuffer or --rect)\n"
         "  --mode fbo|pbuffer  off-screen targets: framebuffer objects (default) or GLX pbuffers\n"
         "  --rect              rectangle textures and the rectangle variants of the pass programs\n"
         "  --flat              flat normals (one gradient per primitive)\n"
         "  --portable          the compute pass in the form for contexts without 64-bit integers and\n"
         "                      subgroup ballots (elsewhere it uses them where the context has them)\n"
         "  --check             compare every active chunk's output buffers with the CPU reference\n"
         "  --export-ply FILE   write the surface at the (single) isovalue as binary PLY with normals\n"
         "  --profile           time every pass separately, with glFinish between the passes\n"
         "  --reopen N          first open, extract at every isovalue and close the dataset N times in one\n"
         "                      engine, and print resident and graphics memory after the first and the\n"
         "                      last round\n"
         "  --on-demand         open the cache's chunk index only and make chunks resident as\n"
         "                      extractions need them (the viewer's way); the load line is then the\n"
         "                      open, and the time to the first frame is printed\n"
         "  --gpu-budget MB     graphics memory the resident chunks may hold (default: what the driver\n"
         "                      reports as free, else 2048); implies --on-demand\n"
         "  --sweep             first walk the isovalue from 0 to 1 in steps of 0.01, as a slider drag\n"
         "                      would, and print the step latency (median, 95th percentile), chunk\n"
         "                      loads, evictions and bytes read; implies --on-demand\n"
         "  --no-pbo            read the buffer targets back through host memory, not pixel-pack buffers\n"
         "  --json              print the results as JSON instead of tables\n"
         "  --render OUT.png    draw one frame as the viewer would and write it as a PNG picture\n"
         "  --mode-shading M    0 shaded (default), 1 3D texture, 2 glass\n"
         "  --opacity O         surface opacity in [0, 1] (default 1)\n"
         "  --multi             the family of surfaces 0.1 apart below the isovalue\n"
         "  --size WxH          picture size (default 512x512)\n"
         "  --rotate X,Y,Z      model rotation about x, y and z in degrees\n"
         "  --distance D        move the camera back by D along its viewing direction (default 0: the\n"
         "                      viewer's start position; about 3 shows the whole model)\n";
}

int parseCommandLine(int argc, char** argv, BenchOptions& options) {
  auto usage = [](const std::string& message) {
    pk::error("vxbench: " + message);
    std::cerr << usageText();
    return 2;
  };
  bool isoGiven = false, renderSettings = false, repeatGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v;
    auto value = [&]() {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    if (a == "-h" || a == "--help") {
      std::cout << usageText();
      return 0;
    } else if (a == "--iso") {
      if (!value() || !parseFloatList(v, options.isovalues))
        return usage("--iso needs isovalues separated by commas, such as 0.3,0.5");
      isoGiven = true;
    } else if (a == "--repeat") {
      if (!value() || !parseInt(v, 1, 10000, options.repeat)) return usage("--repeat needs a count from 1 to 10000");
      repeatGiven = true;
    } else if (a == "--backend") {
      if (!value() || (v != "auto" && v != "fragment" && v != "compute"))
        return usage("--backend needs auto, fragment or compute");
      options.backend = v;
    } else if (a == "--mode") {
      if (!value() || (v != "fbo" && v != "pbuffer")) return usage("--mode needs fbo or pbuffer");
      options.renderTargetMode = v == "fbo" ? 0 : 1;
    } else if (a == "--rect") {
      options.rectTextures = true;
    } else if (a == "--flat") {
      options.flat = true;
    } else if (a == "--check") {
      options.check = true;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--profile") {
      options.profile = true;
    } else if (a == "--field") {
      if (!value() || v.empty()) return usage("--field needs a field name");
      options.field = v;
    } else if (a == "--reopen") {
      if (!value() || !parseInt(v, 1, 100000, options.reopen)) return usage("--reopen needs a count from 1 to 100000");
    } else if (a == "--on-demand") {
      options.onDemand = true;
    } else if (a == "--gpu-budget") {
      int mb = 0;
      if (!value() || !parseInt(v, 1, 1 << 24, mb)) return usage("--gpu-budget needs megabytes from 1 to 16777216");
      options.gpuBudgetMB = mb;
      options.onDemand = true;
    } else if (a == "--sweep") {
      options.sweep = true;
      options.onDemand = true;
    } else if (a == "--portable") {
      options.portable = true;
    } else if (a == "--no-pbo") {
      options.noPixelBuffers = true;
    } else if (a == "--export-ply") {
      if (!value() || v.empty()) return usage("--export-ply needs a file name");
      options.plyPath = v;
    } else if (a == "--render") {
      if (!value() || v.empty()) return usage("--render needs a file name");
      options.renderPath = v;
    } else if (a == "--mode-shading") {
      if (!value() || !parseInt(v, 0, 2, options.shadingMode)) return usage("--mode-shading needs 0, 1 or 2");
      renderSettings = true;
    } else if (a == "--opacity") {
      if (!value() || !parseFloat(v, options.opacity) || options.opacity < 0 || options.opacity > 1)
        return usage("--opacity needs a value from 0 to 1");
      renderSettings = true;
    } else if (a == "--multi") {
      options.multi = true;
      renderSettings = true;
    } else if (a == "--size") {
      if (!value() || !parseSize(v, options.width, options.height))
        return usage("--size needs WIDTHxHEIGHT, each from 1 to 8192");
      renderSettings = true;
    } else if (a == "--rotate") {
      if (!value() || !parseTriple(v, options.rotation)) return usage("--rotate needs three angles X,Y,Z in degrees");
      renderSettings = true;
    } else if (a == "--distance") {
      if (!value() || !parseFloat(v, options.distance)) return usage("--distance needs a number");
      renderSettings = true;
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else if (!options.dataset.empty()) {
      return usage("more than one dataset: " + options.dataset + " and " + a);
    } else {
      options.dataset = a;
    }
  }
  if (options.dataset.empty()) return usage("no dataset given");
  if (!options.field.empty() && options.dataset.size() > 3 && options.dataset.compare(options.dataset.size() - 3, 3, ".vx") == 0)
    return usage("--field applies to meshes, not to datasets");
  if (options.rendering()) {
    if (options.check || !options.plyPath.empty() || options.profile || repeatGiven || options.reopen)
      return usage("--render draws one frame; --check, --export-ply, --profile, --repeat and --reopen apply to the benchmark");
    if (options.isovalues.size() > 1) return usage("--render takes one isovalue");
    if (!isoGiven) options.isovalues = {0.5f};
  } else {
    if (renderSettings)
      return usage("--mode-shading, --opacity, --multi, --size, --rotate and --distance need --render");
    if (!options.plyPath.empty() && options.isovalues.size() != 1)
      return usage("--export-ply needs exactly one isovalue (--iso V)");
    if (!isoGiven) options.isovalues = defaultIsovalues();
  }
  return -1;
}

} // namespace vxbench
