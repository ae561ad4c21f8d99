// Vorex: start-up of the viewer.
#include "GLGPUIsosurface.h"

#include "EmbeddedImages.h"
#include "OpenGLSupport.h"

#include <QApplication>
#include <QFont>
#include <QLocale>
#include <QMainWindow>
#include <QSplashScreen>
#include <QTranslator>

int main(int argc, char** argv) {
  // GLEW and the pbuffer path need Qt's GLX integration on X11.
  if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "xcb_glx");

  QApplication app(argc, argv);

  // A missing translation simply leaves the texts untranslated.
  QTranslator translator;
  (void)translator.load(QStringLiteral("VX_") + QLocale::system().name(), QApplication::applicationDirPath());
  app.installTranslator(&translator);

  if (!hasOpenGL()) qFatal("%s", qPrintable(QObject::tr("This system has no OpenGL support")));

  auto* splash = new QSplashScreen(pixmapFromMimeSource(QStringLiteral("splash.png")));
  QFont font;
  font.setPixelSize(24);
  font.setWeight(QFont::Bold);
  splash->setFont(font);
  splash->show();
  QApplication::processEvents();
  splash->showMessage(QObject::tr("\n Starting application"), Qt::AlignLeft | Qt::AlignTop, Qt::white);

  auto* window = new QMainWindow(nullptr, Qt::Window);
  window->setObjectName(QStringLiteral("Control Application"));
  window->setCentralWidget(new GLGPUIsosurface(window, "glIsosurface_"));
  window->resize(783, 632);
  window->show();
  splash->finish(window);
  delete splash;

  return app.exec();
}
