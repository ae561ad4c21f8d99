#include "GLGPUIsosurface.h" // first: it brings GLEW in before Qt's OpenGL headers

#include "RenderControlWindowBase.h"

#include "FormImages.h"
#include "QPlotter.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QSpacerItem>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QToolBox>
#include <QVBoxLayout>

namespace {

void setMarginAndSpacing(QLayout* layout, const char* name, int margin, int spacing) {
  layout->setObjectName(QString::fromLatin1(name));
  layout->setContentsMargins(margin, margin, margin, margin);
  layout->setSpacing(spacing);
}

template <typename W>
W* named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QSizePolicy stretchedPolicy(QSizePolicy::Policy h, QSizePolicy::Policy v, int hStretch, int vStretch) {
  QSizePolicy policy(h, v);
  policy.setHorizontalStretch(hStretch);
  policy.setVerticalStretch(vStretch);
  return policy;
}

QSlider* makePercentSlider(QWidget* parent, const char* name, int value) {
  auto* slider = named(new QSlider(parent), name);
  slider->setRange(0, 100);
  slider->setValue(value);
  slider->setOrientation(Qt::Horizontal);
  slider->setTickPosition(QSlider::TicksBelow);
  slider->setTickInterval(10);
  return slider;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name, bool checked) {
  auto* box = named(new QCheckBox(parent), name);
  box->setChecked(checked);
  return box;
}

} // namespace

RenderControlWindowBase::RenderControlWindowBase(QWidget* parent, const char* name, Qt::WindowFlags fl)
    : QMainWindow(parent, fl) {
  windowIconImage = QPixmap::fromImage(drawFormImage(FormImage::WindowIcon));
  logoImage = QPixmap::fromImage(drawFormImage(FormImage::Logo));
  openImage = QPixmap::fromImage(drawFormImage(FormImage::OpenIcon));
  exitImage = QPixmap::fromImage(drawFormImage(FormImage::ExitIcon));
  contentsImage = QPixmap::fromImage(drawFormImage(FormImage::ContentsIcon));
  aboutImage = QPixmap::fromImage(drawFormImage(FormImage::AboutIcon));
  backdropImage = QPixmap::fromImage(drawFormImage(FormImage::BackdropIcon));
  (void)statusBar();
  setObjectName(name ? QString::fromUtf8(name) : QStringLiteral("RenderControlWindowBase"));
  setWindowIcon(QIcon(windowIconImage));

  // The widget tree, in creation order (which is also the tab order).
  setCentralWidget(named(new QWidget(this), "qt_central_widget"));
  RenderControlWindowBaseLayout = new QGridLayout(centralWidget());
  setMarginAndSpacing(RenderControlWindowBaseLayout, "RenderControlWindowBaseLayout", 11, 6);

  frame3 = named(new QFrame(centralWidget()), "frame3");
  frame3->setFrameShape(QFrame::StyledPanel);
  frame3->setFrameShadow(QFrame::Raised);
  frame3Layout = new QGridLayout(frame3);
  setMarginAndSpacing(frame3Layout, "frame3Layout", 11, 6);

  splitter3 = named(new QSplitter(frame3), "splitter3");
  splitter3->setOrientation(Qt::Horizontal);

  frame4 = named(new QFrame(splitter3), "frame4");
  frame4->setSizePolicy(stretchedPolicy(QSizePolicy::Preferred, QSizePolicy::Preferred, 1, 0));
  frame4->setFrameShape(QFrame::StyledPanel);
  frame4->setFrameShadow(QFrame::Raised);
  frame4Layout = new QGridLayout(frame4);
  setMarginAndSpacing(frame4Layout, "frame4Layout", 11, 6);

  toolBox1 = named(new QToolBox(frame4), "toolBox1");
  toolBox1->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::Expanding);
  toolBox1->setCurrentIndex(1); // no page yet: the first page added stays the open one

  // Page "Isosurface".
  page1 = named(new QWidget(toolBox1), "page1");
  page1->setBackgroundRole(QPalette::Window);
  page1Layout = new QVBoxLayout(page1);
  setMarginAndSpacing(page1Layout, "page1Layout", 11, 6);

  checkBox4 = makeCheckBox(page1, "checkBox4", true);
  page1Layout->addWidget(checkBox4);
  checkBox5 = makeCheckBox(page1, "checkBox5", false);
  page1Layout->addWidget(checkBox5);

  layout2 = new QVBoxLayout();
  setMarginAndSpacing(layout2, "layout2", 0, 6);
  textLabel1 = named(new QLabel(page1), "textLabel1");
  layout2->addWidget(textLabel1);
  layout2_2 = new QHBoxLayout();
  setMarginAndSpacing(layout2_2, "layout2_2", 0, 6);
  slider1 = makePercentSlider(page1, "slider1", 50);
  layout2_2->addWidget(slider1);
  spinBox1 = named(new QSpinBox(page1), "spinBox1");
  spinBox1->setRange(0, 100);
  spinBox1->setValue(50);
  spinBox1->setButtonSymbols(QAbstractSpinBox::PlusMinus);
  layout2_2->addWidget(spinBox1);
  layout2->addLayout(layout2_2);
  page1Layout->addLayout(layout2);

  layout4 = new QVBoxLayout();
  setMarginAndSpacing(layout4, "layout4", 0, 6);
  textLabel1_2 = named(new QLabel(page1), "textLabel1_2");
  layout4->addWidget(textLabel1_2);
  slider2 = makePercentSlider(page1, "slider2", 100);
  layout4->addWidget(slider2);
  page1Layout->addLayout(layout4);

  frame5 = named(new QFrame(page1), "frame5");
  frame5->setFrameShape(QFrame::StyledPanel);
  frame5->setFrameShadow(QFrame::Raised);
  frame5->setLineWidth(2);
  frame5Layout = new QGridLayout(frame5);
  setMarginAndSpacing(frame5Layout, "frame5Layout", 5, 6);
  plotter_ = new QPlotter(frame5, "plotter_");
  plotter_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::MinimumExpanding);
  frame5Layout->addWidget(plotter_, 0, 0);
  page1Layout->addWidget(frame5);

  spacer1 = new QSpacerItem(20, 148, QSizePolicy::Minimum, QSizePolicy::Expanding);
  page1Layout->addItem(spacer1);
  toolBox1->addItem(page1, QString());

  // Page "Rendering".
  page = named(new QWidget(toolBox1), "page");
  page->setBackgroundRole(QPalette::Window);
  pageLayout = new QVBoxLayout(page);
  setMarginAndSpacing(pageLayout, "pageLayout", 11, 6);

  checkBox6 = makeCheckBox(page, "checkBox6", false);
  pageLayout->addWidget(checkBox6);
  checkBox2 = makeCheckBox(page, "checkBox2", false);
  pageLayout->addWidget(checkBox2);
  checkBox3 = makeCheckBox(page, "checkBox3", true);
  pageLayout->addWidget(checkBox3);
  checkBox6_2 = makeCheckBox(page, "checkBox6_2", true);
  pageLayout->addWidget(checkBox6_2);

  layout3 = new QVBoxLayout();
  setMarginAndSpacing(layout3, "layout3", 0, 6);
  textLabel2 = named(new QLabel(page), "textLabel2");
  layout3->addWidget(textLabel2);
  comboBox1 = named(new QComboBox(page), "comboBox1");
  comboBox1->setEditable(false);
  layout3->addWidget(comboBox1);
  // How the surface is extracted; the view switches to the back end its OpenGL offers.
  backendLabel_ = named(new QLabel(page), "backendLabel_");
  layout3->addWidget(backendLabel_);
  backendBox_ = named(new QComboBox(page), "backendBox_");
  backendBox_->setEditable(false);
  layout3->addWidget(backendBox_);
  // The graphics memory the chunks of the dataset may hold; beyond it the least recently used go.
  budgetLabel_ = named(new QLabel(page), "budgetLabel_");
  layout3->addWidget(budgetLabel_);
  budgetBox_ = named(new QSpinBox(page), "budgetBox_");
  budgetBox_->setRange(0, 1 << 20);
  budgetBox_->setSingleStep(256);
  layout3->addWidget(budgetBox_);
  pageLayout->addLayout(layout3);

  layout5 = new QHBoxLayout();
  setMarginAndSpacing(layout5, "layout5", 0, 6);
  pushButton1 = named(new QPushButton(page), "pushButton1");
  layout5->addWidget(pushButton1);
  bgcolorfield_ = named(new QFrame(page), "bgcolorfield_");
  bgcolorfield_->setMinimumSize(30, 30);
  QPalette swatch = bgcolorfield_->palette();
  swatch.setColor(QPalette::Window, QColor(0, 0, 0));
  bgcolorfield_->setPalette(swatch);
  bgcolorfield_->setAutoFillBackground(true);
  bgcolorfield_->setFrameShape(QFrame::StyledPanel);
  bgcolorfield_->setFrameShadow(QFrame::Sunken);
  layout5->addWidget(bgcolorfield_);
  pageLayout->addLayout(layout5);

  spacer2 = new QSpacerItem(20, 130, QSizePolicy::Minimum, QSizePolicy::Expanding);
  pageLayout->addItem(spacer2);

  layout6 = new QHBoxLayout();
  setMarginAndSpacing(layout6, "layout6", 0, 6);
  spacer3 = new QSpacerItem(61, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
  layout6->addItem(spacer3);
  pixmapLabel1 = named(new QLabel(page), "pixmapLabel1");
  pixmapLabel1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  pixmapLabel1->setPixmap(logoImage);
  pixmapLabel1->setScaledContents(false);
  layout6->addWidget(pixmapLabel1);
  pageLayout->addLayout(layout6);
  toolBox1->addItem(page, QString());

  glIsosurface_ = new GLGPUIsosurface(splitter3, "glIsosurface_");
  glIsosurface_->setSizePolicy(stretchedPolicy(QSizePolicy::Expanding, QSizePolicy::Expanding, 4, 0));
  splitter3->addWidget(frame4);
  splitter3->addWidget(glIsosurface_);

  frame4Layout->addWidget(toolBox1, 0, 0);
  frame3Layout->addWidget(splitter3, 0, 0);
  RenderControlWindowBaseLayout->addWidget(frame3, 0, 0);

  // Actions.
  fileOpenAction = named(new QAction(this), "fileOpenAction");
  fileOpenAction->setIcon(QIcon(openImage));
  fileExitAction = named(new QAction(this), "fileExitAction");
  fileExitAction->setIcon(QIcon(exitImage));
  helpContentsAction = named(new QAction(this), "helpContentsAction");
  helpContentsAction->setIcon(QIcon(contentsImage));
  helpAboutAction = named(new QAction(this), "helpAboutAction");
  helpAboutAction->setIcon(QIcon(aboutImage));
  fileBackdropAction = named(new QAction(this), "fileBackdropAction");
  fileBackdropAction->setIcon(QIcon(backdropImage));

  // Tool bar and menus.
  toolBar = new QToolBar(QString(), this);
  addToolBar(Qt::TopToolBarArea, toolBar);
  toolBar->addAction(fileOpenAction);
  toolBar->addAction(fileBackdropAction);
  toolBar->addSeparator();
  toolBar->addAction(fileExitAction);

  MenuBar = named(menuBar(), "MenuBar");
  fileMenu = new QMenu(this);
  fileMenu->addAction(fileOpenAction);
  fileMenu->addAction(fileBackdropAction);
  fileMenu->addSeparator();
  fileMenu->addAction(fileExitAction);
  MenuBar->addMenu(fileMenu);
  helpMenu = new QMenu(this);
  helpMenu->addAction(helpContentsAction);
  helpMenu->addSeparator();
  helpMenu->addAction(helpAboutAction);
  MenuBar->addMenu(helpMenu);

  languageChange();
  resize(QSize(783, 632).expandedTo(minimumSizeHint()));

  // The controls' initial states above are the engine's own defaults; only changes are sent.
  connect(fileOpenAction, &QAction::triggered, this, &RenderControlWindowBase::fileOpen);
  connect(fileExitAction, &QAction::triggered, this, &RenderControlWindowBase::fileExit);
  connect(helpContentsAction, &QAction::triggered, this, &RenderControlWindowBase::helpContents);
  connect(helpAboutAction, &QAction::triggered, this, &RenderControlWindowBase::helpAbout);
  connect(slider1, &QSlider::valueChanged, spinBox1, &QSpinBox::setValue);
  connect(spinBox1, &QSpinBox::valueChanged, slider1, &QSlider::setValue);
  connect(pushButton1, &QPushButton::clicked, this, &RenderControlWindowBase::selectBG);
  connect(fileBackdropAction, &QAction::triggered, this, &RenderControlWindowBase::openBackdrop);
  connect(checkBox4, &QCheckBox::stateChanged, glIsosurface_, &GLGPUIsosurface::smoothshaded);
  connect(checkBox5, &QCheckBox::stateChanged, glIsosurface_, &GLGPUIsosurface::multiSurf);
  connect(slider1, &QSlider::valueChanged, glIsosurface_, &GLGPUIsosurface::setIso);
  connect(slider2, &QSlider::valueChanged, glIsosurface_, &GLGPUIsosurface::opacity);
  connect(glIsosurface_, &GLGPUIsosurface::extractPerf, this, &RenderControlWindowBase::fpsInfo);
  connect(checkBox6, &QCheckBox::stateChanged, glIsosurface_, &GLGPUIsosurface::wireframe);
  connect(checkBox2, &QCheckBox::stateChanged, glIsosurface_, &GLGPUIsosurface::drawVertices);
  connect(checkBox3, &QCheckBox::stateChanged, glIsosurface_, &GLGPUIsosurface::drawBoundingBox);
  connect(checkBox6_2, &QCheckBox::stateChanged, glIsosurface_, &GLGPUIsosurface::drawBoundaries);
  connect(comboBox1, &QComboBox::activated, glIsosurface_, &GLGPUIsosurface::renderMode);
  connect(backendBox_, &QComboBox::activated, glIsosurface_, &GLGPUIsosurface::selectBackend);
  connect(glIsosurface_, &GLGPUIsosurface::backendInUse, backendBox_, &QComboBox::setCurrentIndex);
  connect(budgetBox_, &QSpinBox::valueChanged, glIsosurface_, &GLGPUIsosurface::setGpuBudgetMB);
}

RenderControlWindowBase::~RenderControlWindowBase() = default;

void RenderControlWindowBase::languageChange() {
  setWindowTitle(tr("Edge-based Isosurface Extraction"));
  checkBox4->setText(tr("Smooth Gradients"));
  checkBox5->setText(tr("Multi Surfaces"));
  textLabel1->setText(tr("Isovalue"));
  textLabel1_2->setText(tr("Opacity"));
  toolBox1->setItemText(toolBox1->indexOf(page1), tr("Isosurface"));
  checkBox6->setText(tr("Wireframe"));
  checkBox2->setText(tr("Vertices"));
  checkBox3->setText(tr("Bounding Box"));
  checkBox6_2->setText(tr("Boundary"));
  textLabel2->setText(tr("Render Mode"));
  comboBox1->clear();
  comboBox1->addItem(tr("Shaded"));
  comboBox1->addItem(tr("3D Texture"));
  comboBox1->addItem(tr("Glass"));
  backendLabel_->setText(tr("Extraction"));
  const int backend = backendBox_->currentIndex();
  backendBox_->clear();
  backendBox_->addItem(tr("Compute shader"));
  backendBox_->addItem(tr("Fragment passes"));
  backendBox_->setCurrentIndex(backend < 0 ? 0 : backend);
  budgetLabel_->setText(tr("Graphics memory for the dataset"));
  budgetBox_->setSuffix(tr(" MB"));
  budgetBox_->setSpecialValueText(tr("Automatic"));
  pushButton1->setText(tr("Background"));
  toolBox1->setItemText(toolBox1->indexOf(page), tr("Rendering"));

  // An action's short text labels its tool button; the menu text, with its mnemonic, its menu entry.
  fileOpenAction->setIconText(tr("Open"));
  fileOpenAction->setText(tr("&Open..."));
  fileOpenAction->setShortcut(QKeySequence(tr("Ctrl+O")));
  fileExitAction->setIconText(tr("Exit"));
  fileExitAction->setText(tr("E&xit"));
  fileExitAction->setShortcut(QKeySequence(tr("Ctrl+Q")));
  helpContentsAction->setIconText(tr("Contents"));
  helpContentsAction->setText(tr("&Contents..."));
  helpContentsAction->setShortcut(QKeySequence(QString()));
  helpAboutAction->setIconText(tr("About"));
  helpAboutAction->setText(tr("&About"));
  helpAboutAction->setShortcut(QKeySequence(QString()));
  fileBackdropAction->setIconText(tr("Backdrop..."));
  fileBackdropAction->setText(tr("&Backdrop..."));
  fileBackdropAction->setShortcut(QKeySequence(tr("Ctrl+B")));
  toolBar->setWindowTitle(tr("Tools"));
  if (fileMenu) fileMenu->setTitle(tr("&File"));
  if (helpMenu) helpMenu->setTitle(tr("&Help"));
}

void RenderControlWindowBase::fileNew() { qWarning("RenderControlWindowBase::fileNew(): Not implemented yet"); }
void RenderControlWindowBase::fileOpen() { qWarning("RenderControlWindowBase::fileOpen(): Not implemented yet"); }
void RenderControlWindowBase::fileSave() { qWarning("RenderControlWindowBase::fileSave(): Not implemented yet"); }
void RenderControlWindowBase::fileSaveAs() {
  qWarning("RenderControlWindowBase::fileSaveAs(): Not implemented yet");
}
void RenderControlWindowBase::filePrint() {
  qWarning("RenderControlWindowBase::filePrint(): Not implemented yet");
}
void RenderControlWindowBase::fileExit() { qWarning("RenderControlWindowBase::fileExit(): Not implemented yet"); }
void RenderControlWindowBase::helpIndex() {
  qWarning("RenderControlWindowBase::helpIndex(): Not implemented yet");
}
void RenderControlWindowBase::helpContents() {
  qWarning("RenderControlWindowBase::helpContents(): Not implemented yet");
}
void RenderControlWindowBase::helpAbout() {
  qWarning("RenderControlWindowBase::helpAbout(): Not implemented yet");
}
void RenderControlWindowBase::fpsInfo(int) {
  qWarning("RenderControlWindowBase::fpsInfo(int): Not implemented yet");
}
void RenderControlWindowBase::selectBG() { qWarning("RenderControlWindowBase::selectBG(): Not implemented yet"); }
void RenderControlWindowBase::openBackdrop() {
  qWarning("RenderControlWindowBase::openBackdrop(): Not implemented yet");
}
