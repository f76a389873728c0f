// The app tests' main: libcurl is initialised once, before any test starts a
// thread, as the program's own main does.
#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  curl_global_cleanup();
  return result;
}
