// Vorex: start-up of the viewer.
#include "HugePages.h"
#include "images/EmbeddedImages.h"
#include "OpenGLSupport.h"
#include "RenderControlWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QLocale>
#include <QSplashScreen>
#include <QStringList>
#include <QTranslator>

#include <cstdio>

int main(int argc, char** argv) {
  QElapsedTimer sinceStart; // for the timed first frame's figure of the whole run
  sinceStart.start();
  // Chunks and output buffers in huge pages: the software renderer allocates and clears them, which
  // in small pages is mostly page faults. VX_SMALL_PAGES=1 keeps the plain heap.
  pk::restartWithHugePages(argv, "VX_SMALL_PAGES");
  // GLEW and the pbuffer path need Qt's GLX integration on X11.
  if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "xcb_glx");

  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Vorex"));
  QCoreApplication::setApplicationName(QStringLiteral("vorex"));

  // A missing translation simply leaves the texts untranslated.
  QTranslator translator;
  (void)translator.load(QStringLiteral("VX_") + QLocale::system().name(), QApplication::applicationDirPath());
  app.installTranslator(&translator);

  if (!hasOpenGL()) qFatal("%s", qPrintable(QObject::tr("This system has no OpenGL support")));

  // Our own arguments: a dataset to open once the window shows, the scripted screenshot
  // (--screenshot OUT.png [--size WxH] [--iso V]) and the timed first frame (--time-first-frame).
  QString dataset, screenshot;
  bool timeFirstFrame = false;
  QSize size;
  float iso = -1.0f;
  const char* const usage =
      "usage: vorex [DATASET.vx|MESH] [--screenshot OUT.png [--size WxH] [--iso V] | --time-first-frame]";
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    bool ok = true;
    if (a == QLatin1String("--screenshot") && hasValue) {
      screenshot = arguments[++i];
    } else if (a == QLatin1String("--time-first-frame")) {
      timeFirstFrame = true;
    } else if (a == QLatin1String("--size") && hasValue) {
      const QStringList wh = arguments[++i].split(QLatin1Char('x'));
      bool w = false, h = false;
      if (wh.size() == 2) size = QSize(wh[0].toInt(&w), wh[1].toInt(&h));
      ok = w && h && size.width() >= 1 && size.height() >= 1 && size.width() <= 8192 && size.height() <= 8192;
    } else if (a == QLatin1String("--iso") && hasValue) {
      iso = arguments[++i].toFloat(&ok);
      ok = ok && iso >= 0.0f && iso <= 1.0f;
    } else if (!a.startsWith(QLatin1String("--")) && dataset.isEmpty()) {
      dataset = a;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "%s\nvorex: cannot use the argument %s\n", usage, qPrintable(a));
      return 1;
    }
  }
  if (!screenshot.isEmpty() && timeFirstFrame) {
    std::fprintf(stderr, "%s\nvorex: --screenshot and --time-first-frame do not go together\n", usage);
    return 1;
  }
  if (screenshot.isEmpty() && (size.isValid() || iso >= 0.0f)) {
    std::fprintf(stderr, "%s\nvorex: --size and --iso go with --screenshot\n", usage);
    return 1;
  }
  if ((!screenshot.isEmpty() || timeFirstFrame) && dataset.isEmpty()) {
    std::fprintf(stderr, "vorex: %s needs a dataset to draw\n", timeFirstFrame ? "--time-first-frame" : "--screenshot");
    return 1;
  }

  if (!screenshot.isEmpty() || timeFirstFrame) {
    // Scripted, without the splash: the screenshot opens, frames and saves without an event loop of
    // its own; the timed first frame opens as File › Open does and lets the event loop draw, then
    // says on one line how long that took.
    auto* window = new RenderControlWindow(nullptr, "Control Application", Qt::Window);
    window->show();
    RenderControlWindow::FirstFrameTimes t;
    const bool done = timeFirstFrame ? window->timeFirstFrame(dataset, t)
                                     : window->screenshotOf(dataset, screenshot, size, iso);
    if (done && timeFirstFrame)
      std::printf("first frame %.3f s (open %.3f s, extraction and drawing %.3f s), %llu tetrahedra; extraction "
                  "%.3f s with %d chunk%s read in %.3f s; %.3f s since the program started\n",
                  t.totalSeconds(), t.openSeconds, t.frameSeconds, t.tetrahedra, t.extractionSeconds, t.chunksRead,
                  t.chunksRead == 1 ? "" : "s", t.readSeconds, 1e-9 * double(sinceStart.nsecsElapsed()));
    std::fflush(stdout);
    delete window;
    return done ? 0 : 1;
  }

  auto* splash = new QSplashScreen(pixmapFromMimeSource(QStringLiteral("splash.png")));
  QFont font;
  font.setPixelSize(24);
  font.setWeight(QFont::Bold);
  splash->setFont(font);
  splash->show();
  QApplication::processEvents();
  splash->showMessage(QObject::tr("\n Starting application"), Qt::AlignLeft | Qt::AlignTop, Qt::white);

  auto* window = new RenderControlWindow(nullptr, "Control Application", Qt::Window);
  window->show();
  splash->finish(window);
  delete splash;
  if (!dataset.isEmpty()) window->openDataset(dataset);

  return app.exec();
}
