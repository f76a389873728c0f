// Conversions between the program's texts (code page 936 bytes), UTF-16 byte
// arrays (little-endian code units, as the HTTP transport takes them) and
// UTF-8 bytes (response bodies). The code page of the text side is 936 unless
// one is given, whatever the machine's locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace textrill {

// `text` (up to its first zero byte) as UTF-16LE bytes followed by a 2-byte
// zero terminator. `wide_length`, when given, receives the number of code units
// without the terminator. "" gives an empty array and leaves `wide_length`
// untouched. An unknown code page gives an empty array and `wide_length` -1.
// Bytes that are not valid in the code page become "?".
std::vector<std::uint8_t> AnsiToWide(const std::string& text,
                                     std::optional<int> code_page = std::nullopt,
                                     int* wide_length = nullptr);

// UTF-16LE bytes (an odd last byte is ignored) as text in the code page, up to
// the first zero byte of the result. Characters the code page cannot hold
// become "?". Empty input or an unknown code page gives "".
std::string WideToAnsi(const std::vector<std::uint8_t>& wide,
                       std::optional<int> code_page = std::nullopt);

// UTF-8 bytes as text in the code page, up to the first zero byte of the
// result. Invalid UTF-8 becomes U+FFFD first and so "?"; characters the code
// page cannot hold become "?"; a byte-order mark is converted like any other
// character. Empty input or an unknown code page gives "".
std::string Utf8ToAnsi(const std::vector<std::uint8_t>& utf8,
                       std::optional<int> code_page = std::nullopt);

}  // namespace textrill
