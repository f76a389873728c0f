// Base64 encoding of picture bytes, through the platform's base64 service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace textrill {

// The RFC 4648 base64 text of `bytes`: padded with "=", no line breaks, so n
// bytes give 4 * ceil(n / 3) characters. Empty input gives "" without calling
// the platform encoder; a failure of the encoder gives "" as well.
std::string Base64Encode(const std::vector<std::uint8_t>& bytes);

}  // namespace textrill
