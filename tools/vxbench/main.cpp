// vxbench: the headless benchmark and checker of the extraction, and a frame renderer.
#include "Bench.h"
#include "BenchOptions.h"
#include "GlxDisplay.h"
#include "HugePages.h"
#include "PkDiag.h"

#include <QGuiApplication>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  // The software renderer allocates and clears the buffers of every chunk and output batch: in huge
  // pages that costs a fraction of the page faults (at 50 M tetrahedra, about a third of the time to
  // the first frame). VX_SMALL_PAGES=1 keeps the plain heap.
  pk::restartWithHugePages(argv, "VX_SMALL_PAGES");
  vxbench::BenchOptions options;
  const int status = vxbench::parseCommandLine(argc, argv, options);
  if (status >= 0) return status;
  // The viewer's platform choices: xcb with Qt's GLX integration, so GLEW's GLX side works.
  setenv("QT_XCB_GL_INTEGRATION", "xcb_glx", 0);
  setenv("QT_QPA_PLATFORM", "xcb", 0);
  std::string why;
  if (std::strcmp(std::getenv("QT_QPA_PLATFORM"), "xcb") == 0 && !glxDisplayAvailable(why)) {
    pk::error("vxbench: " + why);
    return 1;
  }
  QGuiApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C"); // Qt takes the user's locale; the numbers printed stay C-style
  // A mesh rather than a dataset: its dataset from the cache folder, built there first if need be.
  if (!vxbench::isDataset(options.dataset) && !vxbench::buildFromMesh(options)) return 1;
  return vxbench::runBench(options);
}
