// The viewer as a whole process: it starts on a display with GLX, and refuses to run on one without;
// its scripted screenshot and timed first frame.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QProcess>
#include <QRegularExpression>
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

#ifdef VX_VXBUILD
// Builds the small synthetic dataset s.vx in dir with the dataset builder: the builder's report, or
// nothing when it failed.
QString buildShellDataset(const QTemporaryDir& dir) {
  QProcess builder;
  builder.setWorkingDirectory(dir.path());
  builder.start(QStringLiteral(VX_VXBUILD), {"--synthetic", "shell:10", "-o", "s.vx"});
  if (!builder.waitForFinished(60000) || builder.exitStatus() != QProcess::NormalExit || builder.exitCode() != 0)
    return QString();
  return QString::fromLocal8Bit(builder.readAllStandardOutput());
}
#endif

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
  const bool running = viewer.state() == QProcess::Running;
  viewer.terminate();
  viewer.waitForFinished(5000);
  // What the viewer said, for a failure's message: a window that never shows has left its reason here.
  const QByteArray said = viewer.readAllStandardError() + viewer.readAllStandardOutput();
  EXPECT_TRUE(shown) << windows.toStdString() << "\nThe viewer said:\n" << said.toStdString();
  EXPECT_TRUE(running) << said.toStdString();
  EXPECT_FALSE(said.contains("ERROR")) << said.toStdString();
}

TEST(Startup, ScriptedScreenshotDrawsTheFramedModelAndSaysWhyWhenItCannot) {
#ifndef VX_VXBUILD
  GTEST_SKIP() << "no dataset builder";
#else
  QTemporaryDir dir;
  ASSERT_FALSE(buildShellDataset(dir).isEmpty());
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
  // A picture's size or isovalue without a picture to take is a mistake, not a viewer to open.
  for (const QStringList& alone : {QStringList{"s.vx", "--size", "320x240"}, QStringList{"s.vx", "--iso", "0.4"}}) {
    std::tie(status, err) = vorex(alone);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(err.contains("--size and --iso go with --screenshot")) << err.toStdString();
  }
#endif
}

TEST(Startup, TimedFirstFrameSaysHowLongTheOpenAndTheFrameTookOrWhyItCouldNot) {
#ifndef VX_VXBUILD
  GTEST_SKIP() << "no dataset builder";
#else
  QTemporaryDir dir;
  const QString report = buildShellDataset(dir);
  ASSERT_FALSE(report.isEmpty());
  const QRegularExpression built(QStringLiteral("tetrahedra +(\\d+) \\(input"));
  const QRegularExpressionMatch count = built.match(report);
  ASSERT_TRUE(count.hasMatch());

  struct Run {
    int status;
    QString out, err;
  };
  auto vorex = [&](const QStringList& args) {
    QProcess viewer;
    viewer.setWorkingDirectory(dir.path());
    QProcessEnvironment env = viewerEnvironment(qEnvironmentVariable("DISPLAY"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath("config")); // the viewer's own settings
    viewer.setProcessEnvironment(env);
    viewer.start(QStringLiteral(VOREX_BINARY), args);
    EXPECT_TRUE(viewer.waitForFinished(60000));
    return Run{viewer.exitStatus() == QProcess::NormalExit ? viewer.exitCode() : -1,
               QString::fromLocal8Bit(viewer.readAllStandardOutput()), QString::fromLocal8Bit(viewer.readAllStandardError())};
  };

  // One line: the whole time, its two parts, the dataset's size, the extraction with the chunks it
  // read (the view reads chunks on demand, so the first frame reads some), and the whole run.
  Run run = vorex({"s.vx", "--time-first-frame"});
  ASSERT_EQ(run.status, 0) << run.err.toStdString();
  EXPECT_FALSE(run.err.contains(QStringLiteral("ERROR"))) << run.err.toStdString();
  const QRegularExpression line(QStringLiteral(
      "^first frame (\\d+\\.\\d{3}) s \\(open (\\d+\\.\\d{3}) s, extraction and drawing (\\d+\\.\\d{3}) s\\), (\\d+) "
      "tetrahedra; extraction (\\d+\\.\\d{3}) s with (\\d+) chunks? read in (\\d+\\.\\d{3}) s; (\\d+\\.\\d{3}) s since "
      "the program started\\n$"));
  const QRegularExpressionMatch m = line.match(run.out);
  ASSERT_TRUE(m.hasMatch()) << run.out.toStdString();
  const double total = m.captured(1).toDouble(), open = m.captured(2).toDouble(), frame = m.captured(3).toDouble();
  EXPECT_NEAR(total, open + frame, 0.002); // three figures rounded to the millisecond
  EXPECT_GT(open, 0.0);
  EXPECT_GT(frame, 0.0);
  EXPECT_EQ(m.captured(4), count.captured(1));
  EXPECT_LE(m.captured(5).toDouble(), frame + 0.0005); // the extraction is part of the frame
  EXPECT_GE(m.captured(6).toInt(), 1);
  EXPECT_GE(m.captured(8).toDouble(), total); // the run holds the start-up and the open

  // Files that cannot be opened or drawn: status 1, the engine's reason on the console, nothing timed.
  QFile garbage(dir.filePath("bad.vx"));
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write("this is no geometry file, and its cache is none either\n");
  garbage.close();
  ASSERT_TRUE(QFile::copy(dir.filePath("bad.vx"), dir.filePath("bad.vx.cache")));
  // A good geometry file beside a cache whose chunk data is zeroed in the middle: the chunk index
  // opens, the chunk the first frame needs cannot be read.
  ASSERT_TRUE(QFile::copy(dir.filePath("s.vx"), dir.filePath("damaged.vx")));
  ASSERT_TRUE(QFile::copy(dir.filePath("s.vx.cache"), dir.filePath("damaged.vx.cache")));
  QFile damaged(dir.filePath("damaged.vx.cache"));
  ASSERT_TRUE(damaged.open(QIODevice::ReadWrite));
  ASSERT_TRUE(damaged.seek(damaged.size() / 2));
  damaged.write(QByteArray(5000, '\0'));
  damaged.close();
  for (const char* name : {"missing.vx", "bad.vx", "damaged.vx"}) {
    run = vorex({name, "--time-first-frame"});
    EXPECT_EQ(run.status, 1) << name << ": " << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.isEmpty()) << name << ": " << run.out.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("ERROR")) && run.err.contains(QLatin1String(name)))
        << name << ": " << run.err.toStdString();
  }

  // The option needs a dataset, and is not a screenshot.
  run = vorex({"--time-first-frame"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.contains(QStringLiteral("--time-first-frame needs a dataset"))) << run.err.toStdString();
  run = vorex({"s.vx", "--time-first-frame", "--screenshot", "x.png"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.contains(QStringLiteral("usage: vorex"))) << run.err.toStdString();
  EXPECT_FALSE(QFile::exists(dir.filePath("x.png")));
#endif
}
