// The viewer opening dataset after dataset through File › Open, good ones and the malformed ones of
// the fuzz corpus mixed: it stays alive, the status bar shows each failure's first error line, and
// the view holds either the last good dataset, what loaded of a failed one, or nothing.
#include "GLGPUIsosurface.h" // first: GLEW before Qt's OpenGL headers

#include "RenderControlWindow.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Picks `path` in the next File › Open dialog once it is open.
void chooseInNextDialog(const QString& path) {
  auto* poll = new QTimer;
  auto tries = std::make_shared<int>(0);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, path, tries] {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      dialog->selectFile(path);
      static_cast<QDialog*>(dialog)->accept(); // QFileDialog keeps accept() protected
    } else if (++*tries > 500) {
      poll->stop();
      poll->deleteLater();
      ADD_FAILURE() << "no file dialog opened";
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    }
  });
  poll->start(10);
}

bool copy(const QString& from, const QString& to) {
  QFile::remove(to);
  return QFile::copy(from, to);
}

} // namespace

TEST(OpenSoak, TwentyDatasetsGoodAndMalformedThroughFileOpen) {
#ifndef VX_VXBUILD
  GTEST_SKIP() << "no dataset builder";
#else
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QTemporaryDir dir;
  for (const char* set : {"blobs:5", "shell:8"}) {
    QProcess builder;
    builder.setWorkingDirectory(dir.path());
    const QString name = QString::fromLatin1(set).section(':', 0, 0);
    builder.start(QStringLiteral(VX_VXBUILD), {"--synthetic", set, "-o", name + ".vx", "--quiet"});
    ASSERT_TRUE(builder.waitForFinished(60000));
    ASSERT_EQ(builder.exitCode(), 0);
  }
  // The malformed ones: every cache of the corpus beside a sound geometry, every geometry of the
  // corpus beside a sound cache.
  const QDir corpus(QStringLiteral(VX_CORPUS));
  QStringList bad;
  for (const QString& cache : corpus.entryList({"*.cache"}, QDir::Files, QDir::Name)) {
    const QString path = dir.filePath("c_" + cache.section('.', 0, 0) + ".vx");
    ASSERT_TRUE(copy(dir.filePath("blobs.vx"), path));
    ASSERT_TRUE(copy(corpus.filePath(cache), path + ".cache"));
    bad << path;
  }
  const QDir geometries(QStringLiteral(VX_CORPUS_GEOMETRY));
  for (const QString& geometry : geometries.entryList({"*.vx"}, QDir::Files, QDir::Name)) {
    const QString path = dir.filePath("g_" + geometry);
    ASSERT_TRUE(copy(geometries.filePath(geometry), path));
    ASSERT_TRUE(copy(dir.filePath("shell.vx.cache"), path + ".cache"));
    bad << path;
  }
  ASSERT_GE(bad.size(), 8);

  RenderControlWindow window(nullptr, "Control Application", Qt::Window);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  GLGPUIsosurface* view = window.glIsosurface_;
  int good = 0, failed = 0;
  for (int i = 0; i < 20; ++i) {
    const bool sound = i % 3 == 0;
    const QString path = sound ? dir.filePath(i % 2 ? "shell.vx" : "blobs.vx") : bad[(i - i / 3 - 1) % bad.size()];
    SCOPED_TRACE(path.toStdString());
    const QString previousLabel = window.datasetLabel->text();
    chooseInNextDialog(path);
    window.fileOpenAction->trigger();
    const QImage frame = view->grabFramebuffer(); // painting after the open must work too
    ASSERT_FALSE(frame.isNull());
    const QString name = QFileInfo(path).fileName();
    const QString label = window.datasetLabel->text();
    if (sound) {
      ++good;
      EXPECT_TRUE(view->hasDataset());
      EXPECT_TRUE(label.startsWith(name)) << label.toStdString();
      EXPECT_EQ(view->chunksLoaded(), view->chunksInFile());
      continue;
    }
    // A malformed one: said in the status bar; the label names the last good dataset (nothing
    // changed), this one (what of it loaded, said as "k of n chunks"), or nothing at all.
    const QString message = window.statusBar()->currentMessage();
    if (view->datasetPath() != path) {
      EXPECT_EQ(label, previousLabel);
    } else if (view->hasDataset() && view->chunksLoaded() > 0) {
      EXPECT_TRUE(label.startsWith(name)) << label.toStdString();
    } else {
      EXPECT_TRUE(label.isEmpty()) << label.toStdString();
      EXPECT_EQ(view->dataset.totalTets, 0u);
    }
    if (!message.contains("Fit Model")) { // some corpus entries are sound enough to load
      ++failed;
      EXPECT_FALSE(message.isEmpty());
    }
  }
  EXPECT_EQ(good, 7);
  EXPECT_GE(failed, 6);
#endif
}
