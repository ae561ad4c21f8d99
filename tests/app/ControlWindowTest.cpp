// The control window: the form's widgets, texts and connections to a real engine widget, the
// throughput ring, the dialogs (driven while they are open), the status bar, drops and screenshots.
#include "GLGPUIsosurface.h" // first: GLEW before Qt's OpenGL headers

#include "CaptureOutput.h"
#include "GLTestContext.h"
#include "DatasetSamples.h"
#include "DatasetWriter.h"
#include "ReferenceExtractor.h"
#include "GeometryFile.h"
#include "PkDiag.h"
#include "QPlotter.h"
#include "RenderControlWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QOpenGLWidget>
#include <QLocale>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QToolBox>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

// Collects what goes through qWarning while it lives.
class WarningLog {
public:
  WarningLog() {
    current = this;
    previous_ = qInstallMessageHandler(&WarningLog::handle);
  }
  ~WarningLog() {
    qInstallMessageHandler(previous_);
    current = nullptr;
  }
  QStringList warnings;

private:
  static void handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (current && type == QtWarningMsg) current->warnings << text;
  }
  static inline WarningLog* current = nullptr;
  QtMessageHandler previous_;
};

// Pollers of dialogs that have not opened yet; the fixture ends them after each test.
std::vector<QPointer<QTimer>>& pendingDialogPollers() {
  static std::vector<QPointer<QTimer>> pollers;
  return pollers;
}

// Runs `act` on the next modal dialog of type D once it is open (Qt's own dialogs, not the desktop's).
// It waits as long as the dialog takes to open; a dialog that `act` leaves open (a failed assertion
// returns early) is rejected, so that a failing test cannot leave a modal loop running. A poller
// whose dialog never opened is ended, as a failure, when the test ends.
template <typename D>
void whenDialogOpens(std::function<void(D*)> act) {
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  auto* poll = new QTimer;
  pendingDialogPollers().push_back(poll);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
    auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
    if (!dialog) return;
    poll->stop();
    poll->deleteLater();
    QPointer<D> open(dialog);
    act(dialog);
    if (open && open->isVisible()) {
      ADD_FAILURE() << "the dialog was left open";
      open->reject();
    }
  });
  poll->start(10);
}

void endPendingDialogPollers() {
  for (QPointer<QTimer>& poll : pendingDialogPollers())
    if (poll && poll->isActive()) {
      ADD_FAILURE() << "no dialog opened";
      delete poll.data();
    }
  pendingDialogPollers().clear();
}

// QApplication::exit marks the main thread as quitting: every later modal dialog would return at
// once. Running the application's own loop once clears that mark (exec resets it on the way in
// and out), so tests after the one that exits behave as in a fresh process.
void clearQuitRequest() {
  QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

struct Window : ::testing::Test {
  std::unique_ptr<RenderControlWindow> window;
  GLGPUIsosurface* engine = nullptr;

  void SetUp() override {
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    window = std::make_unique<RenderControlWindow>(nullptr, "Control Application");
    engine = window->glIsosurface_;
  }
  void TearDown() override { endPendingDialogPollers(); }
  void show() {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return engine->isValid(); }));
  }
};

QString itemTexts(const QComboBox* box) {
  QStringList texts;
  for (int i = 0; i < box->count(); ++i) texts << box->itemText(i);
  return texts.join('|');
}

QString actionList(const QList<QAction*>& actions) {
  QStringList names;
  for (const QAction* a : actions) names << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
  return names.join(' ');
}

} // namespace

TEST(ControlForm, EveryTextIsTheUntranslatedOne) {
  RenderControlWindowBase form;
  EXPECT_EQ(form.objectName(), "RenderControlWindowBase");
  EXPECT_EQ(form.windowTitle(), "Edge-based Isosurface Extraction");
  EXPECT_EQ(form.checkBox4->text(), "Smooth Gradients");
  EXPECT_EQ(form.checkBox5->text(), "Multi Surfaces");
  EXPECT_EQ(form.textLabel1->text(), "Isovalue");
  EXPECT_EQ(form.textLabel1_2->text(), "Opacity");
  EXPECT_EQ(form.checkBox6->text(), "Wireframe");
  EXPECT_EQ(form.checkBox2->text(), "Vertices");
  EXPECT_EQ(form.checkBox3->text(), "Bounding Box");
  EXPECT_EQ(form.checkBox6_2->text(), "Boundary");
  EXPECT_EQ(form.textLabel2->text(), "Render Mode");
  EXPECT_EQ(itemTexts(form.comboBox1), "Shaded|3D Texture|Glass");
  EXPECT_EQ(form.pushButton1->text(), "Background");
  ASSERT_EQ(form.toolBox1->count(), 2);
  EXPECT_EQ(form.toolBox1->itemText(0), "Isosurface");
  EXPECT_EQ(form.toolBox1->itemText(1), "Rendering");
  EXPECT_EQ(form.toolBox1->currentIndex(), 0);

  struct Expected {
    QAction* action;
    const char *name, *text, *menuText, *shortcut;
  };
  for (const Expected& e : {Expected{form.fileOpenAction, "fileOpenAction", "Open", "&Open...", "Ctrl+O"},
                            Expected{form.fileExitAction, "fileExitAction", "Exit", "E&xit", "Ctrl+Q"},
                            Expected{form.helpContentsAction, "helpContentsAction", "Contents", "&Contents...", ""},
                            Expected{form.helpAboutAction, "helpAboutAction", "About", "&About", ""},
                            Expected{form.fileBackdropAction, "fileBackdropAction", "Backdrop...", "&Backdrop...",
                                     "Ctrl+B"}}) {
    EXPECT_EQ(e.action->objectName(), e.name);
    EXPECT_EQ(e.action->iconText(), e.text) << e.name;
    EXPECT_EQ(e.action->text(), e.menuText) << e.name;
    EXPECT_EQ(e.action->shortcut(), QKeySequence(QString::fromLatin1(e.shortcut))) << e.name;
    EXPECT_EQ(e.action->icon().availableSizes().value(0), QSize(22, 22)) << e.name;
    EXPECT_EQ(e.action->parent(), &form);
  }
  EXPECT_EQ(form.toolBar->windowTitle(), "Tools");
  EXPECT_EQ(form.MenuBar->objectName(), "MenuBar");
  EXPECT_EQ(form.fileMenu->title(), "&File");
  EXPECT_EQ(form.helpMenu->title(), "&Help");
  EXPECT_EQ(actionList(form.MenuBar->actions()).count(' '), 1);
  EXPECT_EQ(form.MenuBar->actions().value(0), form.fileMenu->menuAction());
  EXPECT_EQ(form.MenuBar->actions().value(1), form.helpMenu->menuAction());
  EXPECT_EQ(actionList(form.fileMenu->actions()), "fileOpenAction fileBackdropAction - fileExitAction");
  EXPECT_EQ(actionList(form.helpMenu->actions()), "helpContentsAction - helpAboutAction");
  EXPECT_EQ(actionList(form.toolBar->actions()), "fileOpenAction fileBackdropAction - fileExitAction");
}

TEST(ControlForm, WidgetTreeAndControlsMatchingTheEngine) {
  RenderControlWindowBase form(nullptr, "Control Application");
  EXPECT_EQ(form.objectName(), "Control Application");
  EXPECT_EQ(form.centralWidget()->objectName(), "qt_central_widget");
  EXPECT_EQ(form.size(), QSize(783, 632).expandedTo(form.minimumSizeHint()));
  EXPECT_EQ(form.windowIcon().availableSizes().value(0), QSize(128, 128));
  EXPECT_EQ(form.pixmapLabel1->pixmap().size(), QSize(100, 42));
  for (const char* name : {"RenderControlWindowBaseLayout", "frame3Layout", "frame4Layout", "page1Layout",
                           "layout2", "layout2_2", "layout4", "frame5Layout", "pageLayout", "layout3",
                           "layout5", "layout6"})
    EXPECT_NE(form.findChild<QLayout*>(QString::fromLatin1(name)), nullptr) << name;

  // The splitter holds the tool box panel, then the view, stretched 1 : 4; the plot sits on the
  // first page, the colour swatch on the second.
  ASSERT_EQ(form.splitter3->count(), 2);
  EXPECT_EQ(form.splitter3->widget(0), form.frame4);
  EXPECT_EQ(form.splitter3->widget(1), form.glIsosurface_);
  EXPECT_EQ(form.frame4->sizePolicy().horizontalStretch(), 1);
  EXPECT_EQ(form.glIsosurface_->sizePolicy().horizontalStretch(), 4);
  EXPECT_EQ(form.glIsosurface_->objectName(), "glIsosurface_");
  EXPECT_EQ(form.plotter_->objectName(), "plotter_");
  EXPECT_TRUE(form.page1->isAncestorOf(form.plotter_));
  EXPECT_TRUE(form.page->isAncestorOf(form.bgcolorfield_));

  // Nothing is sent while the controls are set up, so their initial states must be the engine's
  // own defaults.
  const GLGPUIsosurface& engine = *form.glIsosurface_;
  EXPECT_EQ(form.checkBox4->isChecked(), !engine.flatShading);
  EXPECT_EQ(form.checkBox5->isChecked(), engine.multiSurfaceOn);
  EXPECT_FLOAT_EQ(form.slider1->value() * 0.01f, engine.isovalue);
  EXPECT_EQ(form.spinBox1->value(), form.slider1->value());
  EXPECT_EQ(form.spinBox1->maximum(), form.slider1->maximum());
  EXPECT_FLOAT_EQ(form.slider2->value() * 0.01f, engine.surfaceOpacity);
  EXPECT_EQ(form.checkBox6->isChecked(), engine.wireframeOn);
  EXPECT_EQ(form.checkBox2->isChecked(), engine.showVertices);
  EXPECT_EQ(form.checkBox3->isChecked(), engine.showBoundingBox);
  EXPECT_EQ(form.checkBox6_2->isChecked(), engine.showBoundaries);
  EXPECT_EQ(form.comboBox1->currentIndex(), engine.shadingMode);
  const QColor swatch = form.bgcolorfield_->palette().color(QPalette::Window);
  EXPECT_EQ(swatch, QColor::fromRgbF(engine.backgroundColor[0], engine.backgroundColor[1], engine.backgroundColor[2]));
}

TEST(ControlForm, FormImagesAreDrawnPictures) {
  RenderControlWindowBase form;
  const QList<QImage> images = {
      form.windowIcon().pixmap(128, 128).toImage(), form.pixmapLabel1->pixmap().toImage(),
      form.fileOpenAction->icon().pixmap(22, 22).toImage(), form.fileExitAction->icon().pixmap(22, 22).toImage(),
      form.helpContentsAction->icon().pixmap(22, 22).toImage(),
      form.helpAboutAction->icon().pixmap(22, 22).toImage(),
      form.fileBackdropAction->icon().pixmap(22, 22).toImage()};
  for (int k = 0; k < images.size(); ++k) {
    const QImage image = images[k].convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(image.hasAlphaChannel()) << k;
    int opaque = 0, transparent = 0;
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QRgb p = image.pixel(x, y);
        opaque += qAlpha(p) == 255;
        transparent += qAlpha(p) == 0;
        colours.insert(p);
      }
    const int total = image.width() * image.height();
    EXPECT_GT(opaque, total / 5) << k;   // a picture, not an empty canvas
    EXPECT_GT(transparent, 0) << k;      // with a shaped outline
    EXPECT_GT(colours.size(), 8) << k;   // more than a flat fill
  }
  // Five different icons.
  for (int a = 2; a < images.size(); ++a)
    for (int b = a + 1; b < images.size(); ++b) EXPECT_NE(images[a], images[b]) << a << " " << b;
}

TEST(ControlForm, DefaultSlotsOnlyWarn) {
  RenderControlWindowBase form;
  WarningLog log;
  const char* slotNames[] = {"fileNew", "fileOpen", "fileSave", "fileSaveAs", "filePrint", "fileExit",
                         "helpIndex", "helpContents", "helpAbout", "selectBG", "openBackdrop"};
  for (const char* slot : slotNames) ASSERT_TRUE(QMetaObject::invokeMethod(&form, slot)) << slot;
  ASSERT_TRUE(QMetaObject::invokeMethod(&form, "fpsInfo", Q_ARG(int, 7)));
  ASSERT_EQ(log.warnings.size(), 12);
  for (int i = 0; i < 11; ++i)
    EXPECT_EQ(log.warnings[i], QStringLiteral("RenderControlWindowBase::%1(): Not implemented yet").arg(slotNames[i]));
  EXPECT_EQ(log.warnings[11], "RenderControlWindowBase::fpsInfo(int): Not implemented yet");
  // The base form's exit leaves the engine alone.
  EXPECT_NE(form.glIsosurface_, nullptr);
}

TEST_F(Window, ContentsOpensTheHelpPageWithTheMouseAndKeyTable) {
  WarningLog log;
  window->helpContentsAction->trigger();
  EXPECT_TRUE(log.warnings.isEmpty());
  auto* dialog = window->findChild<QDialog*>(QStringLiteral("helpDialog"));
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->isModal());
  auto* text = dialog->findChild<QTextBrowser*>(QStringLiteral("helpText"));
  ASSERT_NE(text, nullptr);
  for (const char* entry : {"left drag", "middle drag", "right drag", "Space", "Fit Model"})
    EXPECT_TRUE(text->toPlainText().contains(QLatin1String(entry))) << entry;
  // Asked again, the same page comes back.
  window->helpContentsAction->trigger();
  EXPECT_EQ(window->findChildren<QDialog*>(QStringLiteral("helpDialog")).size(), 1);
  dialog->close();
}

TEST_F(Window, TypingInTheSpinBoxMovesTheSliderAndSetsTheIsovalueOnce) {
  show();
  QSignalSpy sliderMoves(window->slider1, &QSlider::valueChanged);
  QSignalSpy spinChanges(window->spinBox1, &QSpinBox::valueChanged);
  engine->dirty = false;
  window->spinBox1->setFocus();
  window->spinBox1->selectAll();
  QTest::keyClick(window->spinBox1, Qt::Key_7);
  EXPECT_EQ(window->spinBox1->value(), 7);
  EXPECT_EQ(window->slider1->value(), 7);
  EXPECT_EQ(sliderMoves.count(), 1);
  EXPECT_EQ(spinChanges.count(), 1);
  EXPECT_FLOAT_EQ(engine->isovalue, 7 * 0.01f);
  EXPECT_TRUE(engine->dirty);

  // The slider drives the spin box back without a loop.
  window->slider1->setValue(64);
  EXPECT_EQ(window->spinBox1->value(), 64);
  EXPECT_EQ(sliderMoves.count(), 2);
  EXPECT_EQ(spinChanges.count(), 2);
  EXPECT_FLOAT_EQ(engine->isovalue, 0.64f);
}

TEST_F(Window, ChecksAndOpacityReachTheEngine) {
  window->checkBox4->click();   // smooth gradients off
  EXPECT_TRUE(engine->flatShading);
  window->checkBox5->click();
  EXPECT_TRUE(engine->multiSurfaceOn);
  window->checkBox6->click();
  EXPECT_TRUE(engine->wireframeOn);
  window->checkBox2->click();
  EXPECT_TRUE(engine->showVertices);
  window->checkBox3->click();
  EXPECT_FALSE(engine->showBoundingBox);
  window->checkBox6_2->click();
  EXPECT_FALSE(engine->showBoundaries);
  window->slider2->setValue(35);
  EXPECT_FLOAT_EQ(engine->surfaceOpacity, 0.35f);
}

TEST_F(Window, ChoosingARenderModeSendsItEvenWhenUnchanged) {
  show();
  QSignalSpy chosen(window->comboBox1, &QComboBox::activated);
  QComboBox* box = window->comboBox1;
  // Pick "Glass" through the popup, as a user does.
  auto pick = [box](int index) {
    box->showPopup();
    box->view()->setCurrentIndex(box->model()->index(index, 0));
    QTest::keyClick(box->view(), Qt::Key_Return);
  };
  pick(2);
  ASSERT_EQ(chosen.count(), 1);
  EXPECT_EQ(chosen.at(0).at(0).toInt(), 2);
  EXPECT_EQ(engine->shadingMode, 2);

  engine->shadingMode = 0;   // so that a second delivery shows
  pick(2);
  ASSERT_EQ(chosen.count(), 2);
  EXPECT_EQ(chosen.at(1).at(0).toInt(), 2);
  EXPECT_EQ(engine->shadingMode, 2);

  // Changing the index from code is not a user's choice and sends nothing.
  box->setCurrentIndex(1);
  EXPECT_EQ(chosen.count(), 2);
  EXPECT_EQ(engine->shadingMode, 2);
}

TEST_F(Window, ThroughputRingFeedsThePlot) {
  QPlotter* plot = window->plotter_;
  ASSERT_EQ(window->perfSamples.size(), 200u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(window->perfSamples[2 * i], float(i));
    EXPECT_EQ(window->perfSamples[2 * i + 1], 0.0f);
  }
  EXPECT_EQ(plot->unitLabel, "Mtets / sec");
  EXPECT_EQ(plot->markerX, -1);
  ASSERT_EQ(plot->zoomHistory.size(), 1u);
  EXPECT_EQ(plot->currentRange().maxX, 100.0f);
  EXPECT_EQ(plot->currentRange().maxY, 100.0f);
  EXPECT_EQ(plot->curves.at(0), window->perfSamples);

  // The engine's signal is the way in.
  emit engine->extractPerf(42);
  EXPECT_EQ(plot->markerX, 0);
  EXPECT_EQ(window->perfSamples[1], 42.0f);
  for (int v = 2; v <= 100; ++v) emit engine->extractPerf(v);
  EXPECT_EQ(plot->markerX, 99);
  EXPECT_EQ(window->perfCursor, 100u);

  emit engine->extractPerf(250);   // the 101st value: back to point 0, stored unscaled
  EXPECT_EQ(plot->markerX, 0);
  EXPECT_EQ(window->perfCursor, 1u);
  EXPECT_EQ(window->perfSamples[0], 0.0f);
  EXPECT_EQ(window->perfSamples[1], 250.0f);
  EXPECT_EQ(window->perfSamples[3], 2.0f);
  EXPECT_EQ(window->perfSamples[199], 100.0f);
  EXPECT_EQ(plot->curves.at(0), window->perfSamples);
}

TEST_F(Window, AcceptedColourSetsSwatchAndEngineBackground) {
  whenDialogOpens<QColorDialog>([](QColorDialog* dialog) {
    EXPECT_EQ(dialog->currentColor(), QColor(0, 0, 0));   // starts from the swatch
    dialog->setCurrentColor(QColor(255, 128, 0));
    dialog->accept();
  });
  window->pushButton1->click();
  EXPECT_EQ(window->bgcolorfield_->palette().color(QPalette::Window), QColor(255, 128, 0));
  EXPECT_FLOAT_EQ(engine->backgroundColor[0], 1.0f);
  EXPECT_NEAR(engine->backgroundColor[1], 0.50196f, 1e-5f);
  EXPECT_EQ(engine->backgroundColor[1], float(128 / 255.0));
  EXPECT_FLOAT_EQ(engine->backgroundColor[2], 0.0f);
}

TEST_F(Window, CancelledDialogsChangeNothing) {
  const QString cwd = QDir::currentPath();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString notAnImage = dir.filePath("notes.txt");
  QFile(notAnImage).open(QIODevice::WriteOnly);
  const QString dataset = dir.filePath("some.vx");
  QFile(dataset).open(QIODevice::WriteOnly);

  WarningLog log;
  const std::string console = captureStderr([&] {
    // Colour: the swatch and the engine keep black.
    whenDialogOpens<QColorDialog>([](QColorDialog* dialog) {
      dialog->setCurrentColor(QColor(10, 200, 30));
      dialog->reject();
    });
    window->pushButton1->click();

    // Open: the dialog shows the dataset filter in the current directory; cancelling opens nothing.
    whenDialogOpens<QFileDialog>([&](QFileDialog* dialog) {
      EXPECT_EQ(dialog->objectName(), "open file dialog");
      EXPECT_EQ(dialog->windowTitle(), "Choose file to extract isosurface from");
      // Datasets first, then the meshes the builder reads, then any file.
      ASSERT_EQ(dialog->nameFilters().size(), 3);
      EXPECT_EQ(dialog->nameFilters()[0], "Vorex Isosurface (*.vx)");
      EXPECT_TRUE(dialog->nameFilters()[1].contains("*.vtu") && dialog->nameFilters()[1].contains("*.exo"));
      EXPECT_EQ(dialog->directory().absolutePath(), QDir(cwd).absolutePath());
      dialog->setDirectory(dir.path());
      dialog->selectFile(dataset);
      dialog->reject();
    });
    window->fileOpenAction->trigger();

    // Backdrop: a file highlighted and then cancelled loads nothing.
    whenDialogOpens<QFileDialog>([&](QFileDialog* dialog) {
      EXPECT_EQ(dialog->parent(), window.get());
      auto* preview = dialog->findChild<QLabel*>("backdropPreview");
      ASSERT_NE(preview, nullptr);
      dialog->setDirectory(dir.path());
      // Highlight the file in the list as a user does; it reaches the preview.
      auto* list = dialog->findChild<QListView*>("listView");
      ASSERT_NE(list, nullptr);
      QModelIndex item;
      EXPECT_TRUE(QTest::qWaitFor([&] {
        const QAbstractItemModel* model = list->model();
        for (int row = 0; row < model->rowCount(list->rootIndex()); ++row) {
          const QModelIndex at = model->index(row, 0, list->rootIndex());
          if (at.data().toString() == "notes.txt") item = at;
        }
        return item.isValid();
      }, 3000));
      list->selectionModel()->setCurrentIndex(item, QItemSelectionModel::ClearAndSelect);
      EXPECT_EQ(preview->text(), "This is not a pixmap");
      dialog->reject();
    });
    window->fileBackdropAction->trigger();
  });
  EXPECT_EQ(window->bgcolorfield_->palette().color(QPalette::Window), QColor(0, 0, 0));
  for (float c : engine->backgroundColor) EXPECT_EQ(c, 0.0f);
  EXPECT_TRUE(engine->datasetPath().isEmpty());
  EXPECT_TRUE(window->statusBar()->currentMessage().isEmpty());
  EXPECT_EQ(console, "");
  EXPECT_TRUE(log.warnings.isEmpty()) << log.warnings.join('\n').toStdString();
  // The dialogs went with their calls.
  EXPECT_TRUE(window->findChildren<QFileDialog*>().isEmpty());
}

TEST(BackdropPreview, ShowsPicturesAndRejectsOtherFiles) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString text = dir.filePath("a.png");   // a misleading name is no picture
  QFile file(text);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("plain text");
  file.close();
  QImage small(10, 6, QImage::Format_RGB32);
  small.fill(Qt::green);
  ASSERT_TRUE(small.save(dir.filePath("small.png")));
  QImage large(1000, 500, QImage::Format_RGB32);
  large.fill(Qt::blue);
  ASSERT_TRUE(large.save(dir.filePath("large.bmp")));

  RenderControlWindow::Preview preview;
  preview.previewUrl(QUrl::fromLocalFile(text));
  EXPECT_EQ(preview.text(), "This is not a pixmap");
  preview.previewUrl(QUrl::fromLocalFile(dir.filePath("small.png")));
  EXPECT_EQ(preview.pixmap().size(), QSize(10, 6));
  preview.previewUrl(QUrl::fromLocalFile(dir.filePath("large.bmp")));
  EXPECT_EQ(preview.pixmap().size(), QSize(256, 128));
  preview.previewUrl(QUrl::fromLocalFile(dir.filePath("missing.png")));
  EXPECT_EQ(preview.text(), "This is not a pixmap");
}

TEST_F(Window, AboutBoxNamesTheProgram) {
  whenDialogOpens<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->windowTitle(), "About Vorex Isosurface");
    EXPECT_TRUE(box->text().startsWith("<h2>Edge-based Isosurface Extraction</h2><p>"));
    EXPECT_TRUE(box->text().endsWith("<p>Isosurface extraction from tetrahedral grids. Edge-based processing "
                                     "avoids repeated element classification and minimizes memory bandwidth. "));
    box->accept();
  });
  window->helpAboutAction->trigger();
}

TEST_F(Window, FailedOpenShowsTheFirstErrorLineAndKeepsTheConsole) {
  show();
  QTemporaryDir dir;
  const QString missing = dir.filePath("missing.vx");
  bool opened = true;
  const std::string console = captureStderr([&] { opened = window->openDataset(missing); });
  EXPECT_FALSE(opened);
  // The first console line is the error "<path> not found"; the status bar shows its text.
  const std::string tag = pk::errorText("");
  ASSERT_EQ(console.rfind(tag.substr(0, tag.size() - 1), 0), 0u) << console;
  const std::string first = console.substr(tag.size() - 1, console.find('\n') - (tag.size() - 1));
  EXPECT_EQ(first, missing.toStdString() + " not found");
  EXPECT_EQ(window->statusBar()->currentMessage(), QString::fromStdString(first));
  EXPECT_TRUE(window->datasetLabel->text().isEmpty());
}

TEST_F(Window, DroppedDatasetIsOpenedOtherFilesAreRefused) {
  show();
  QTemporaryDir dir;
  QMimeData text;
  text.setUrls({QUrl::fromLocalFile(dir.filePath("picture.png"))});
  const QPoint at = window->rect().center();
  QDragEnterEvent refused(at, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &refused);
  EXPECT_FALSE(refused.isAccepted());

  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(dir.filePath("picture.png")), QUrl::fromLocalFile(dir.filePath("cube.VX"))});
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  const std::string console = captureStderr([&] {
    QApplication::sendEvent(window.get(), &drop);
    QTest::qWait(50);
  });
  EXPECT_TRUE(drop.isAccepted());
  // The missing file was handed to the engine, which reported it.
  EXPECT_NE(console.find("cube.VX"), std::string::npos) << console;
  EXPECT_EQ(window->statusBar()->currentMessage(), QString::fromStdString(dir.filePath("cube.VX").toStdString() + " not found"));

  EXPECT_EQ(firstDatasetFile({QUrl("https://example.org/a.vx"), QUrl::fromLocalFile("/d/b.vx.cache")}), "");
}

TEST_F(Window, ScreenshotsAreWrittenAsPng) {
  show();
  engine->backgroundColor[0] = 1.0f;
  engine->backgroundColor[1] = 0.5f;
  engine->backgroundColor[2] = 0.0f;
  QTemporaryDir dir;
  const QString view = dir.filePath("view.png");
  ASSERT_TRUE(window->saveScreenshot(view));
  QImage shot(view);
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), engine->size() * engine->devicePixelRatio());
  const QColor corner = shot.pixelColor(2, 2);
  EXPECT_EQ(corner.red(), 255);
  EXPECT_NEAR(corner.green(), 128, 1);
  EXPECT_EQ(corner.blue(), 0);

  const QString whole = dir.filePath("window.png");
  ASSERT_TRUE(window->saveWindowScreenshot(whole));
  EXPECT_EQ(QImage(whole).size(), window->size() * window->devicePixelRatio());

  // An unwritable place fails with a console error and a status message.
  const std::string console =
      captureStderr([&] { EXPECT_FALSE(window->saveScreenshot(dir.filePath("no/such/dir/x.png"))); });
  EXPECT_EQ(console.rfind(pk::errorText("Could not write the screenshot ").substr(0, 20), 0), 0u) << console;
}

// A synthetic dataset from the builder (`synthetic` as its --synthetic option takes it), named
// `name` in `dir`; empty when there is no builder or it failed.
QString buildSynthetic(const QTemporaryDir& dir, const QString& synthetic, const QString& name) {
#ifdef VX_VXBUILD
  const QString path = dir.filePath(name);
  QProcess builder;
  builder.start(QStringLiteral(VX_VXBUILD), {"--synthetic", synthetic, "-o", path, "--quiet"});
  if (!builder.waitForFinished(120000) || builder.exitCode() != 0) return QString();
  return path;
#else
  (void)dir;
  (void)synthetic;
  (void)name;
  return QString();
#endif
}

// A small synthetic dataset from the builder, in `dir`; empty when there is no builder.
QString buildDataset(const QTemporaryDir& dir) { return buildSynthetic(dir, "blobs:6", "blobs.vx"); }

TEST_F(Window, OpenedDatasetIsNamedInTheStatusBarAndFeedsThePlot) {
  QTemporaryDir dir;
  const QString path = buildDataset(dir);
  if (path.isEmpty()) GTEST_SKIP() << "no dataset builder";
  show();
  ASSERT_TRUE(window->openDataset(path));
  EXPECT_GT(engine->dataset.totalTets, 0u);
  // The dataset's name and size, then the field its field file names.
  EXPECT_TRUE(window->datasetLabel->text().startsWith(
      QStringLiteral("blobs.vx \u2014 %1 tetrahedra \u2014 field ").arg(QLocale().toString(qulonglong(engine->dataset.totalTets)))))
      << window->datasetLabel->text().toStdString();
  // The status bar says how to step out of the model the view starts in.
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("Fit Model"));
  // The first extraction's throughput lands on point 0 of the ring.
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->plotter_->markerX == 0; }, 10000));
  EXPECT_EQ(window->perfCursor, 1u);

  // A failed open afterwards names its error but the label follows what the engine still holds.
  captureStderr([&] { window->openDataset(dir.filePath("gone.vx")); });
  EXPECT_TRUE(window->statusBar()->currentMessage().endsWith("gone.vx not found"));
  EXPECT_TRUE(window->datasetLabel->text().startsWith("blobs.vx"));
}

TEST_F(Window, DatasetAskedForBeforeTheWindowShowsOpensAfterItsFirstFrame) {
  QTemporaryDir dir;
  const QString path = buildDataset(dir);
  if (path.isEmpty()) GTEST_SKIP() << "no dataset builder";
  ASSERT_FALSE(engine->isValid());
  EXPECT_TRUE(window->openDataset(path));
  EXPECT_EQ(engine->dataset.totalTets, 0u);
  show();
  EXPECT_TRUE(QTest::qWaitFor([&] { return engine->dataset.totalTets > 0; }, 10000));
  EXPECT_TRUE(window->datasetLabel->text().startsWith("blobs.vx"));
  EXPECT_TRUE(engine->datasetPath().endsWith("blobs.vx"));
}

TEST_F(Window, SaveScreenshotIsInTheFileMenu) {
  EXPECT_EQ(actionList(window->fileMenu->actions()),
            "fileOpenAction fileBackdropAction fileSaveScreenshotAction - fileExitAction");
  EXPECT_EQ(window->fileSaveScreenshotAction->text(), "Save &Screenshot...");
  // The tool bar gains the Fit Model button before its last separator; the View menu holds it too.
  EXPECT_EQ(actionList(window->toolBar->actions()), "fileOpenAction fileBackdropAction viewFitAction - fileExitAction");
  EXPECT_EQ(actionList(window->viewMenu->actions()), "viewFitAction");
  EXPECT_EQ(window->MenuBar->actions().value(1), window->viewMenu->menuAction());
  EXPECT_EQ(window->viewFitAction->shortcut(), QKeySequence(Qt::Key_F));
}

// Once QApplication::exit has run, the thread counts as quitting and a later modal dialog would
// return at once: the test clears that at its end, so the tests may run in any order.
TEST_F(Window, ExitDeletesTheEngineWidget) {
  show();
  QPointer<GLGPUIsosurface> view = engine;
  window->fileExitAction->trigger();
  EXPECT_TRUE(view.isNull());
  EXPECT_EQ(window->glIsosurface_, nullptr);
  // What is left of the window copes without it.
  QMetaObject::invokeMethod(window.get(), "fpsInfo", Q_ARG(int, 5));
  EXPECT_FALSE(window->openDataset("x.vx"));
  EXPECT_FALSE(window->saveScreenshot(QDir::temp().filePath("vorex-none.png")));
  clearQuitRequest();
}

TEST_F(Window, AnOpenThatFailsPartWaySaysHowMuchLoadedAndForgetsThePreviousDataset) {
  QTemporaryDir dir;
  const QString previous = buildDataset(dir);
  if (previous.isEmpty()) GTEST_SKIP() << "no dataset builder";
  show();
  ASSERT_TRUE(window->openDataset(previous));
  // A cache cut in the middle of its third chunk: two chunks load, the third fails.
  const std::string part = dir.filePath("part.vx").toStdString();
  ASSERT_TRUE(writeGeometryFile(part, samples::tetrahedron()));
  std::vector<unsigned char> bytes;
  CacheLayout layout;
  CacheWriteOptions raw;
  raw.blocks = CacheWriteOptions::Blocks::Raw;
  ASSERT_TRUE(writeCacheBytes(samples::cache(256, 256, 3, 4), bytes, raw, &layout));
  bytes.resize(layout.chunks[2].blocks[int(CacheBlock::EdgeMap)].offset + 100);
  QFile f(QString::fromStdString(part + ".cache"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
  f.close();
  captureStderr([&] { EXPECT_FALSE(window->openDataset(QString::fromStdString(part))); });
  EXPECT_TRUE(window->statusBar()->currentMessage().endsWith("(2 of 3 chunks loaded)"))
      << window->statusBar()->currentMessage().toStdString();
  EXPECT_EQ(window->datasetLabel->text(),
            QStringLiteral("part.vx \u2014 %1 tetrahedra").arg(QLocale().toString(qulonglong(engine->dataset.totalTets))));

  // A geometry without its cache leaves nothing of either dataset: no name, no count.
  const std::string lonely = dir.filePath("lonely.vx").toStdString();
  ASSERT_TRUE(writeGeometryFile(lonely, samples::tetrahedron()));
  captureStderr([&] { EXPECT_FALSE(window->openDataset(QString::fromStdString(lonely))); });
  EXPECT_TRUE(window->datasetLabel->text().isEmpty());
  EXPECT_EQ(engine->dataset.totalTets, 0u);
}

TEST_F(Window, FitModelFramesTheWholeModelAndTheFieldIsShownInItsUnits) {
  QTemporaryDir dir;
  const QString path = buildDataset(dir);
  if (path.isEmpty()) GTEST_SKIP() << "no dataset builder";
  show();
  ASSERT_TRUE(window->openDataset(path));
  // The builder's field file names the synthetic field and its range.
  ASSERT_TRUE(QFile::exists(path + ".field"));
  EXPECT_FALSE(window->fieldValueLabel->text().isEmpty());
  EXPECT_TRUE(window->datasetLabel->text().contains(" field "));
  // A field file of our own: the isovalue in the field's units beside the slider.
  {
    QFile f(path + ".field");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("name=p\nmin=100000\nmax=102600\n");
  }
  ASSERT_TRUE(window->openDataset(path));
  window->slider1->setValue(50);
  EXPECT_EQ(window->fieldValueLabel->text(), "p = 1.013e+05");
  EXPECT_TRUE(window->datasetLabel->text().endsWith("field p"));
  {
    QFile f(path + ".field");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("name=p\nmin=nan\nmax=3\n"); // not a range: no units
  }
  ASSERT_TRUE(window->openDataset(path));
  EXPECT_TRUE(window->fieldValueLabel->text().isEmpty());

  // Framed: the model in the middle of the view, nothing of it on the frame's border.
  engine->drawBoundingBox(0);
  window->viewFitAction->trigger();
  EXPECT_GT(engine->camera.position.z, 1.0f);
  const QImage framed = engine->grabFramebuffer();
  EXPECT_NE(framed.pixel(framed.width() / 2, framed.height() / 2) & 0xFFFFFF, 0u);
  for (int x = 0; x < framed.width(); ++x) {
    EXPECT_EQ(framed.pixel(x, 0) & 0xFFFFFF, 0u);
    EXPECT_EQ(framed.pixel(x, framed.height() - 1) & 0xFFFFFF, 0u);
  }
}

TEST_F(Window, AManyChunkDatasetLoadsWithProgressAndExtractsWhatTheReferenceDoes) {
  // The status bar repaints in the middle of the load (at most every 50 ms, and after the last
  // chunk): the chunks must still go to the view's own context, which the surface then shows
  // complete.
#ifndef VX_VXBUILD
  GTEST_SKIP() << "no dataset builder";
#else
  QTemporaryDir dir;
  const QString path = buildSynthetic(dir, "blobs:30", "big.vx");
  ASSERT_FALSE(path.isEmpty()) << "the builder failed";
  CacheData cache;
  ASSERT_TRUE(parseCacheFile((path + ".cache").toStdString(), 256, 256, cache));
  ASSERT_GE(cache.chunks.size(), 3u);
  show();
  QStringList progress;
  QObject::connect(window->statusBar(), &QStatusBar::messageChanged, window.get(),
                   [&](const QString& m) { if (m.contains("chunk")) progress << m; });
  ASSERT_TRUE(window->openDataset(path));
  ASSERT_FALSE(progress.isEmpty());
  EXPECT_LE(progress.size(), int(cache.chunks.size()));
  EXPECT_TRUE(progress.last().endsWith(QStringLiteral("chunk %1 of %1").arg(cache.chunks.size())))
      << progress.last().toStdString();
  EXPECT_EQ(engine->chunksLoaded(), int(cache.chunks.size()));
  for (int percent : {30, 50, 70}) {
    window->slider1->setValue(percent);
    engine->grabFramebuffer(); // paints, which extracts
    ReferenceSurface reference;
    ASSERT_TRUE(referenceSurface(cache, engine->isovalue, reference));
    EXPECT_EQ(engine->lastExtraction().activeChunks, int(reference.activeChunks)) << percent;
    EXPECT_EQ(engine->lastExtraction().processedRows, (long long)(reference.processedRows)) << percent;
  }
#endif
}

TEST_F(Window, ChunksLeftOutOfTheSurfaceAreSaidInTheStatusBarNotOnlyOnTheConsole) {
  // With chunks on demand the reading happens while the view paints: a budget too small for the
  // isovalue, or a cache file cut short under the open dataset, leaves chunks out of the surface.
  // The window must say so where the user looks, not only on the console.
  QTemporaryDir dir;
  const QString path = buildSynthetic(dir, "blobs:30", "big.vx"); // eight chunks
  if (path.isEmpty()) GTEST_SKIP() << "no dataset builder";
  show();
  ASSERT_TRUE(engine->options.chunksOnDemand);
  ASSERT_TRUE(window->openDataset(path));
  engine->dataset.setBudgetBytes(1); // not even one chunk
  std::string console = captureStderr([&] {
    window->slider1->setValue(45);
    engine->grabFramebuffer();
  });
  const QString budgetMessage = window->statusBar()->currentMessage();
  EXPECT_TRUE(budgetMessage.contains("holds 0 of the")) << budgetMessage.toStdString();
  EXPECT_NE(console.find(budgetMessage.toStdString()), std::string::npos) << console;
  EXPECT_TRUE(engine->lastExtraction().spans.empty());

  // Room again: the chunks come in and the window says it waited for them, not the old error.
  engine->dataset.setBudgetBytes(0);
  console = captureStderr([&] {
    window->slider1->setValue(50);
    engine->grabFramebuffer();
  });
  EXPECT_EQ(console, "");
  EXPECT_TRUE(window->statusBar()->currentMessage().startsWith("Waited")) << window->statusBar()->currentMessage().toStdString();
  ASSERT_FALSE(engine->lastExtraction().spans.empty());

  // Opened afresh, nothing is resident; then the cache is cut short under the open dataset, and
  // the chunks of the first frame cannot be read.
  ASSERT_TRUE(window->openDataset(path));
  const QString cache = path + ".cache";
  ASSERT_TRUE(QFile::resize(cache, 1000));
  console = captureStderr([&] { engine->grabFramebuffer(); });
  const QString readMessage = window->statusBar()->currentMessage();
  EXPECT_TRUE(readMessage.contains("changed since it was opened")) << readMessage.toStdString();
  EXPECT_NE(console.find(readMessage.toStdString()), std::string::npos) << console;
}

namespace {

// A second OpenGL view, in a window of its own (so with a context of its own), counting its paints.
class OtherView : public QOpenGLWidget {
public:
  int paints = 0;

protected:
  void paintGL() override {
    ++paints;
    glClearColor(0.2f, 0.3f, 0.4f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  }
};

int litPixels(const QImage& image) {
  int lit = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) lit += (image.pixel(x, y) & 0xFFFFFF) != 0;
  return lit;
}

int differingPixels(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return a.width() * a.height();
  int differing = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) differing += a.pixel(x, y) != b.pixel(x, y);
  return differing;
}

} // namespace

TEST_F(Window, ChunksGoToTheViewsContextWhenTheProgressRepaintsAnotherOpenGLWindow) {
  // Whoever hears a load's progress may repaint other windows: here the status bar and then a
  // second OpenGL view in a window of its own, which leaves that window's context current in the
  // middle of the load. The chunks must still go to the view's own context: the surface is then
  // the one a load without repaints gives, in both back ends.
  QTemporaryDir dir;
  const QString path = buildSynthetic(dir, "blobs:30", "big.vx"); // eight chunks
  if (path.isEmpty()) GTEST_SKIP() << "no dataset builder";
  show();
  engine->drawBoundingBox(0);
  engine->drawBoundaries(0); // the surface alone: only it comes from the chunks
  OtherView other;
  other.resize(120, 90);
  other.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));

  // Read whole at open, and with chunks on demand (the view's default), where the progress counts
  // the chunk index and a paint from a listener must not leave a surface of part of it.
  for (bool onDemand : {false, true})
  for (int backend : {0, 1}) {
    SCOPED_TRACE(std::string(backend == 0 ? "compute" : "fragment passes") + (onDemand ? ", chunks on demand" : ""));
    engine->options.chunksOnDemand = onDemand;
    engine->selectBackend(backend);
    auto surface = [&] {
      window->viewFitAction->trigger();
      window->slider1->setValue(45);
      engine->setIso(45);
      return engine->grabFramebuffer();
    };
    // Nobody listening: nothing repaints during the load.
    ASSERT_TRUE(engine->loadDataset(path));
    ASSERT_GE(engine->chunksInFile(), 3);
    const QImage alone = surface();
    ASSERT_GT(litPixels(alone), alone.width() * alone.height() / 50);

    int heard = 0;
    const int paintsBefore = other.paints;
    engine->loadProgress = [&](int done, int total) {
      ++heard;
      window->statusBar()->showMessage(QStringLiteral("chunk %1 of %2").arg(done).arg(total));
      window->statusBar()->repaint();
      other.repaint();
    };
    const bool loaded = engine->loadDataset(path);
    engine->loadProgress = nullptr;
    ASSERT_TRUE(loaded);
    EXPECT_EQ(heard, engine->chunksInFile());
    EXPECT_GE(other.paints - paintsBefore, 1); // it did paint during the load (repaints may coalesce)
    const QImage repainted = surface();
    // The same surface; a few pixels may differ where triangles of equal depth meet.
    EXPECT_LT(differingPixels(alone, repainted), alone.width() * alone.height() / 500);
    engine->makeCurrent();
    EXPECT_EQ(takeGLError(), unsigned(GL_NO_ERROR));
    engine->doneCurrent();
  }
}

