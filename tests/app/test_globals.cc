// The application globals for the test executable, until the program's own
// definitions (app/globals.cc) arrive with the window.
#include "app/globals.h"
#include "http/http_session.h"

namespace textrill {

std::unique_ptr<HttpSession> Session;
std::vector<std::uint8_t> ImageBytes;
std::vector<std::uint8_t> ImageSignature;
std::string ImageFormat;
std::string EncodedImage;
SharedText AllResultsText;
platform::HeapHandle ProcessHeap;

}  // namespace textrill
