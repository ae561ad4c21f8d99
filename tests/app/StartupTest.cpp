// The viewer as a whole process: it starts on a display with GLX, and refuses to run on one without.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

namespace {

// A private X server, with or without the GLX extension, on a display number the server chooses
// itself (-displayfd), so that neither other tests nor other users of the machine share it.
class PrivateXServer {
public:
  explicit PrivateXServer(bool glx) {
    QStringList args = {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                        QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24")};
    if (!glx) args << QStringLiteral("-extension") << QStringLiteral("GLX");
    server_.start(QStringLiteral("Xvfb"), args);
    if (!server_.waitForStarted(5000)) return;
    QByteArray number;
    while (!number.contains('\n') && server_.waitForReadyRead(10000)) number += server_.readAllStandardOutput();
    bool ok = false;
    const int n = number.trimmed().toInt(&ok);
    if (ok) display_ = QStringLiteral(":%1").arg(n);
  }
  ~PrivateXServer() {
    server_.terminate();
    server_.waitForFinished(5000);
  }
  QString display() const { return display_; }

private:
  QProcess server_;
  QString display_;
};

QProcessEnvironment viewerEnvironment(const QString& display) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), display);
  env.insert(QStringLiteral("LIBGL_ALWAYS_SOFTWARE"), QStringLiteral("1"));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  return env;
}

} // namespace

TEST(Startup, RefusesADisplayWithoutGLX) {
  PrivateXServer server(false);
  ASSERT_FALSE(server.display().isEmpty()) << "could not start Xvfb";
  QProcess viewer;
  viewer.setProcessEnvironment(viewerEnvironment(server.display()));
  viewer.start(QStringLiteral(VOREX_BINARY), {});
  ASSERT_TRUE(viewer.waitForFinished(30000));
  const QString err = QString::fromLocal8Bit(viewer.readAllStandardError());
  EXPECT_TRUE(err.contains(QStringLiteral("This system has no OpenGL support"))) << err.toStdString();
  EXPECT_TRUE(viewer.exitStatus() == QProcess::CrashExit || viewer.exitCode() != 0);
}

TEST(Startup, ShowsItsWindowOnAGLXDisplay) {
  PrivateXServer server(true);
  ASSERT_FALSE(server.display().isEmpty()) << "could not start Xvfb";
  QProcess viewer;
  viewer.setProcessEnvironment(viewerEnvironment(server.display()));
  viewer.start(QStringLiteral(VOREX_BINARY), {});
  ASSERT_TRUE(viewer.waitForStarted(5000));
  // The display is the viewer's alone: its main window is the one of the form's size and title.
  QString windows;
  bool shown = false;
  for (int i = 0; i < 300 && !shown && viewer.state() == QProcess::Running; ++i) {
    QProcess tree;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), server.display());
    tree.setProcessEnvironment(env);
    tree.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
    ASSERT_TRUE(tree.waitForFinished(10000));
    windows = QString::fromLocal8Bit(tree.readAllStandardOutput());
    for (const QString& line : windows.split('\n'))
      shown = shown || (line.contains(QStringLiteral("\"Edge-based Isosurface Extraction\"")) && line.contains(QStringLiteral("783x632")));
    if (!shown) QThread::msleep(100);
  }
  EXPECT_TRUE(shown) << windows.toStdString();
  EXPECT_EQ(viewer.state(), QProcess::Running) << viewer.readAllStandardError().toStdString();
  viewer.terminate();
  viewer.waitForFinished(5000);
  EXPECT_FALSE(viewer.readAllStandardError().contains("ERROR"));
}
