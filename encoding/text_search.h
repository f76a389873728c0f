// The text rules used wherever the program searches, compares or trims text
// (marker extraction, response headers, cookies, URLs).
//
// Texts are code page 936 bytes. A byte of 0x80 or more starts a two-byte
// character, so a match may begin only on the first byte of a character, never
// on the second byte of a Chinese character. Positions are 1-based byte
// positions. Ignoring case folds the ASCII letters A-Z / a-z only. Trimming
// removes ASCII spaces (0x20) and the full-width space (A1 A1), never tabs, CR
// or LF.
#pragma once

#include <string>
#include <string_view>

namespace textrill {

// The 1-based position of the first match of `needle` in `text` that starts on
// a character boundary at or after `start`, or -1. Character boundaries are
// counted from `start` (a start below 1 counts as 1); a start beyond the end
// finds nothing. An empty needle is found at position 1 whenever `text` from
// `start` on is not empty. Linear in the length of the text searched for a
// case-sensitive search.
int FindText(std::string_view text, std::string_view needle, int start = 1,
             bool ignore_case = false);

// `text` without leading and/or trailing spaces (0x20 and A1 A1 characters).
std::string_view TrimText(std::string_view text, bool leading = true, bool trailing = true);

// Copies of `text` with the ASCII letters upper- or lower-cased; both bytes of
// a two-byte character are left alone.
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);

// True when `a` and `b` have equal length and equal bytes, ASCII letters
// compared without case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace textrill
