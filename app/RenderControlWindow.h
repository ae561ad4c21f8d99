// The main window: the form with its behaviour. It keeps the last 100 extraction throughputs for the
// plot, opens datasets and backdrop pictures through file dialogs, sets the background colour, shows
// the About box and leaves the program. Beyond the form it shows the open dataset in the status bar,
// opens .vx files dropped on it and saves screenshots of the view.
#pragma once

#include "RenderControlWindowBase.h"

#include <QLabel>
#include <QMetaObject>
#include <QString>

#include <vector>

class QUrl;

class RenderControlWindow : public RenderControlWindowBase {
  Q_OBJECT

public:
  // The backdrop dialog's contents preview: the picture under the cursor, or a note that the file
  // is not one.
  class Preview : public QLabel {
  public:
    explicit Preview(QWidget* parent = nullptr);
    // Shows the file of a local URL.
    virtual void previewUrl(const QUrl& url);
  };

  explicit RenderControlWindow(QWidget* parent = nullptr, const char* name = nullptr,
                               Qt::WindowFlags fl = Qt::Window);
  ~RenderControlWindow() override;

  // Opens a geometry file as "&Open..." does with the chosen name, and reports in the status bar:
  // the dataset's name and tetrahedron count, or the first console error of a failed open. When
  // the view has no OpenGL context yet (the window was never shown), the dataset is opened once
  // the view has shown its first frame; the result is then true.
  bool openDataset(const QString& path);

  // Writes what the view shows as a PNG file; false (with a console error) when that fails.
  bool saveScreenshot(const QString& path);
  // The scripted screenshot: waits for the view's OpenGL, opens the dataset, sets the isovalue
  // (iso < 0 keeps the slider's), frames the model and writes a size picture of the view (an empty
  // size: the view's own). False after a console error.
  bool screenshotOf(const QString& dataset, const QString& out, QSize size, float iso);
  // Writes the whole window, view included, as a PNG file; false (with a console error) on failure.
  bool saveWindowScreenshot(const QString& path);

  // What the timed first frame took: from the start of the open to the end of the first frame
  // that drew the surface (its graphics work finished), and its parts.
  struct FirstFrameTimes {
    double openSeconds = 0;  // the open, as File › Open does it (a mesh: with its build)
    double frameSeconds = 0; // from the end of the open to the end of the first frame
    unsigned long long tetrahedra = 0;
    double extractionSeconds = 0; // the first frame's extraction, its chunk reads included
    int chunksRead = 0;
    double readSeconds = 0;
    double totalSeconds() const { return openSeconds + frameSeconds; }
  };
  // The scripted first frame: waits for the view's OpenGL, opens the dataset as File › Open does,
  // with the viewer's settings, and lets the event loop paint until a frame has drawn the surface.
  // False after a console error (an open that failed, no frame within a minute).
  bool timeFirstFrame(const QString& dataset, FirstFrameTimes& times);

  // The throughput ring: 100 points stored flat as x0, y0, x1, y1, ...; x of point i is i.
  std::vector<float> perfSamples;
  // The point the next throughput value overwrites.
  unsigned int perfCursor = 0;

  QAction* fileSaveScreenshotAction;
  QMenu* viewMenu;
  QAction* viewFitAction;
  // Beside the isovalue slider: the isovalue in the field's own units, when the dataset names its
  // field (a NAME.vx.field file beside it); empty otherwise.
  QLabel* fieldValueLabel;
  // The permanent part of the status bar: the open dataset and its tetrahedron count.
  QLabel* datasetLabel;

protected slots:
  void fileOpen() override;
  void fileExit() override;
  void helpAbout() override;
  void fpsInfo(int value) override;
  void selectBG() override;
  void openBackdrop() override;
  virtual void fileSaveScreenshot();
  void helpContents() override;
  // Moves the camera back along the view axis until the whole model is in view.
  void fitModel();

protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

private:
  // Waits until the view has its OpenGL context (the window must be shown); false after a console
  // error naming `what` could not be done.
  bool waitForView(const QString& what);
  // Loads a dataset; `shownName` names it in the window (default: its file name).
  bool loadNow(const QString& path, const QString& shownName = QString());
  // A mesh: its dataset from the cache folder, or built there first on a worker thread with a
  // progress dialog that can cancel; then loaded.
  bool openMesh(const QString& path);
  void showDataset();

  void readFieldFile(const QString& datasetPath);
  void showFieldValue();

  QString datasetName_;
  // The open dataset's field: its name and original range, from the field file.
  QString fieldName_;
  double fieldMin_ = 0, fieldMax_ = 0;
  QWidget* helpDialog_ = nullptr;
  QString pendingDataset_;
  QMetaObject::Connection pendingConnection_;
};

// The first local .vx file among dropped URLs, else the first mesh; empty when there is none.
QString firstDatasetFile(const QList<QUrl>& urls);
