// The form of the main window: the tool box with the "Isosurface" and "Rendering" pages left of a
// splitter, the engine view right of it, the actions with their tool bar and menus, every text, and
// the connections from the controls to the engine, the plot and the window's slots. The slots here
// only warn; RenderControlWindow supplies the behaviour.
#pragma once

#include <QMainWindow>
#include <QPixmap>

class GLGPUIsosurface;
class QPlotter;
class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QSlider;
class QSpacerItem;
class QSpinBox;
class QSplitter;
class QToolBar;
class QToolBox;
class QVBoxLayout;

class RenderControlWindowBase : public QMainWindow {
  Q_OBJECT

public:
  explicit RenderControlWindowBase(QWidget* parent = nullptr, const char* name = nullptr,
                                   Qt::WindowFlags fl = Qt::Window);
  ~RenderControlWindowBase() override;

  QFrame* frame3;
  QSplitter* splitter3;
  QFrame* frame4;
  QToolBox* toolBox1;
  QWidget* page1;
  QCheckBox* checkBox4;
  QCheckBox* checkBox5;
  QLabel* textLabel1;
  QSlider* slider1;
  QSpinBox* spinBox1;
  QLabel* textLabel1_2;
  QSlider* slider2;
  QFrame* frame5;
  QPlotter* plotter_;
  QWidget* page;
  QCheckBox* checkBox6;
  QCheckBox* checkBox2;
  QCheckBox* checkBox3;
  QCheckBox* checkBox6_2;
  QLabel* textLabel2;
  QComboBox* comboBox1;
  QLabel* backendLabel_;
  QComboBox* backendBox_;
  QLabel* budgetLabel_;
  QSpinBox* budgetBox_;
  QPushButton* pushButton1;
  QFrame* bgcolorfield_;
  QLabel* pixmapLabel1;
  GLGPUIsosurface* glIsosurface_;
  QMenuBar* MenuBar;
  QMenu* fileMenu;
  QMenu* helpMenu;
  QToolBar* toolBar;
  QAction* fileOpenAction;
  QAction* fileExitAction;
  QAction* helpContentsAction;
  QAction* helpAboutAction;
  QAction* fileBackdropAction;

public slots:
  virtual void fileNew();
  virtual void fileOpen();
  virtual void fileSave();
  virtual void fileSaveAs();
  virtual void filePrint();
  virtual void fileExit();
  virtual void helpIndex();
  virtual void helpContents();
  virtual void helpAbout();
  virtual void fpsInfo(int value);
  virtual void selectBG();
  virtual void openBackdrop();

protected:
  QGridLayout* RenderControlWindowBaseLayout;
  QGridLayout* frame3Layout;
  QGridLayout* frame4Layout;
  QVBoxLayout* page1Layout;
  QSpacerItem* spacer1;
  QVBoxLayout* layout2;
  QHBoxLayout* layout2_2;
  QVBoxLayout* layout4;
  QGridLayout* frame5Layout;
  QVBoxLayout* pageLayout;
  QSpacerItem* spacer2;
  QVBoxLayout* layout3;
  QHBoxLayout* layout5;
  QHBoxLayout* layout6;
  QSpacerItem* spacer3;

protected slots:
  virtual void languageChange();

private:
  QPixmap windowIconImage;
  QPixmap logoImage;
  QPixmap openImage;
  QPixmap exitImage;
  QPixmap contentsImage;
  QPixmap aboutImage;
  QPixmap backdropImage;
};
