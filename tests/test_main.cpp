// Test entry point: GoogleTest inside a QApplication. Tests run on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  // Serial lock files of this test program and the programs it starts stay
  // in a folder of its own: pseudo-terminal numbers are reused at once, and
  // a test run in parallel must not find another one's lock on its device.
  QTemporaryDir locks;
  if (!std::getenv("KESTRUNE_LOCK_DIR") && locks.isValid())
    setenv("KESTRUNE_LOCK_DIR", locks.path().toLocal8Bit().constData(), 1);
  return RUN_ALL_TESTS();
}
