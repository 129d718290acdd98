#include <gtest/gtest.h>

#include <QApplication>
#include <cstring>
#include <memory>

// The user-interface tests need a QApplication on the main thread and a display (the test
// command runs them under Xvfb). Listing the tests, as the build does, needs neither.
int main(int argc, char* argv[]) {
  bool listing = false;
  for (int i = 1; i < argc; ++i)
    listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  std::unique_ptr<QApplication> app;
  if (!listing) app = std::make_unique<QApplication>(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
