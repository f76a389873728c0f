// The test runner of the HTTP session: libcurl's global set-up runs once,
// before any test starts a thread.
#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  curl_global_cleanup();
  return result;
}
