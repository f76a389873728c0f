// The app tests' main: libcurl is initialised once, before any test starts a
// thread, as the program's own main does; a QApplication (offscreen unless a
// platform is set) serves the window tests.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int result = 1;
  {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  curl_global_cleanup();
  return result;
}
