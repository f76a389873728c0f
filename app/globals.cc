#include "app/globals.h"

#include "http/http_session.h"

namespace textrill {

std::unique_ptr<HttpSession> Session;
std::vector<std::uint8_t> ImageBytes;
std::vector<std::uint8_t> ImageSignature;
std::string ImageFormat;
std::string EncodedImage;
SharedText AllResultsText;
platform::HeapHandle ProcessHeap = 0;

namespace {

// Empties `value` and gives its memory back.
template <typename T>
void Release(T& value) {
  if (!value.empty()) T().swap(value);
}

}  // namespace

void ExitCleanup() {
  Release(ImageBytes);
  Release(ImageSignature);
  Release(ImageFormat);
  Release(EncodedImage);
  AllResultsText.Set(std::string());
  if (Session) {
    Session->Destroy();
    Session.reset();
  }
}

}  // namespace textrill
