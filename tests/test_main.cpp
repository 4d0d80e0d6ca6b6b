// Test entry point: GoogleTest inside a QApplication. Tests run on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
