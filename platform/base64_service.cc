#include "platform/base64_service.h"

#include <openssl/evp.h>

#include <climits>

namespace textrill::platform {

std::string EncodeBase64(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX / 4 * 3)) return "";
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4 + 1);  // EVP_EncodeBlock writes a NUL
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  if (written <= 0) return "";
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace textrill::platform
