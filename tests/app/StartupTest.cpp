// The viewer as a whole process: it starts on a display with GLX, and refuses to run on one without.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QProcess>
#include <QThread>

#include <tuple>
#include <utility>

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

TEST(Startup, ScriptedScreenshotDrawsTheFramedModelAndSaysWhyWhenItCannot) {
#ifndef VX_VXBUILD
  GTEST_SKIP() << "no dataset builder";
#else
  QTemporaryDir dir;
  QProcess builder;
  builder.setWorkingDirectory(dir.path());
  builder.start(QStringLiteral(VX_VXBUILD), {"--synthetic", "shell:10", "-o", "s.vx", "--quiet"});
  ASSERT_TRUE(builder.waitForFinished(60000));
  ASSERT_EQ(builder.exitCode(), 0);
  auto vorex = [&](const QStringList& args) {
    QProcess viewer;
    viewer.setWorkingDirectory(dir.path());
    viewer.setProcessEnvironment(viewerEnvironment(qEnvironmentVariable("DISPLAY")));
    viewer.start(QStringLiteral(VOREX_BINARY), args);
    EXPECT_TRUE(viewer.waitForFinished(60000));
    return std::make_pair(viewer.exitStatus() == QProcess::NormalExit ? viewer.exitCode() : -1,
                          QString::fromLocal8Bit(viewer.readAllStandardError()));
  };
  auto [status, err] = vorex({"s.vx", "--screenshot", "shot.png", "--size", "320x240", "--iso", "0.4"});
  ASSERT_EQ(status, 0) << err.toStdString();
  const QImage shot(dir.filePath("shot.png"));
  ASSERT_EQ(shot.size(), QSize(320, 240));
  // Framed: the model in the middle, the black background all round it.
  EXPECT_NE(shot.pixel(160, 120) & 0xFFFFFF, 0u);
  for (int x = 0; x < 320; x += 8) EXPECT_EQ(shot.pixel(x, 0) & 0xFFFFFF, 0u) << x;

  std::tie(status, err) = vorex({"missing.vx", "--screenshot", "no.png"});
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(err.contains("missing.vx not found")) << err.toStdString();
  EXPECT_FALSE(QFile::exists(dir.filePath("no.png")));
  std::tie(status, err) = vorex({"s.vx", "--screenshot", "x.png", "--size", "0x5"});
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(err.contains("usage: vorex")) << err.toStdString();
#endif
}
