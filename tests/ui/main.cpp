#include <gtest/gtest.h>

#include <QApplication>

// The user-interface tests need a QApplication on the main thread and a display (the test
// command runs them under Xvfb).
int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
