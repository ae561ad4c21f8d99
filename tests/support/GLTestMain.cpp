// Test main for everything that needs a display: a QApplication on the xcb platform with Qt's GLX
// integration (the viewer's own choice), then GoogleTest.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_XCB_GL_INTEGRATION", "xcb_glx", 0);
  setenv("QT_QPA_PLATFORM", "xcb", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
