// test_ui's main: a QApplication for the whole run (Qt's offscreen platform
// is set by the test's environment). Started with "--closing-child" it plays
// the window-closing scenario in a process of its own instead, for its exit
// code.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstring>

#include "tests/ui/closing_child.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], textrill::test::kClosingChildFlag) == 0) {
    return textrill::test::RunClosingChild(argc, argv);
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  // The tests close windows without ending the application.
  app.setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
