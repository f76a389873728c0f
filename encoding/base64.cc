#include "encoding/base64.h"

#include "platform/base64_service.h"

namespace textrill {

std::string Base64Encode(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return "";
  return platform::EncodeBase64(bytes);
}

}  // namespace textrill
