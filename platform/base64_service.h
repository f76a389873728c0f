// Base64 service: the stand-in for CryptBinaryToStringA with
// CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, built on OpenSSL's EVP_EncodeBlock.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace textrill::platform {

// Standard RFC 4648 base64 of `bytes`, padded with "=", on one line (no CR or
// LF). Returns "" for empty input and when the encoder fails (input larger
// than OpenSSL accepts in one block, or memory exhausted).
std::string EncodeBase64(std::span<const std::uint8_t> bytes);

}  // namespace textrill::platform
