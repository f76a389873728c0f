// Form URL-encoding (application/x-www-form-urlencoded), byte by byte:
// "A"-"Z", "a"-"z", "0"-"9" stay, a space becomes "+", every other byte
// (punctuation included, and each byte of a double-byte character) becomes
// "%" and two upper-case hexadecimal digits.
#pragma once

#include <string>

namespace textrill {

// The form-encoded copy of `text` (taken up to its first zero byte, as a
// zero-terminated text). "" gives "".
std::string FormUrlEncode(const std::string& text);

// Encodes `length` bytes of `source` into `destination`, writing at most
// `capacity` output bytes plus one terminating zero byte, so `destination`
// must have room for `capacity` + 1 bytes. Returns the number of output bytes
// written before the zero byte.
// - A missing source or destination, or a length or capacity below 1: returns
//   0 and writes nothing.
// - Encoding stops cleanly (zero byte written) when the output reaches
//   `capacity` before the next input byte.
// - An escape is written only when it leaves at least one position below
//   `capacity` free; an escape that does not fit abandons the call: returns 0,
//   keeps the bytes already written and writes no zero byte.
int UrlEncodeBytes(const char* source, int length, char* destination, int capacity);

}  // namespace textrill
