// Vorex: start-up of the viewer.
#include "EmbeddedImages.h"
#include "OpenGLSupport.h"
#include "RenderControlWindow.h"

#include <QApplication>
#include <QFont>
#include <QLocale>
#include <QSplashScreen>
#include <QStringList>
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

  auto* window = new RenderControlWindow(nullptr, "Control Application", Qt::Window);
  window->show();
  splash->finish(window);
  delete splash;

  // The one argument of our own: a dataset to open once the window shows.
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() > 1) window->openDataset(arguments.at(1));

  return app.exec();
}
