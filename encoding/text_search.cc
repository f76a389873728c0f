#include "encoding/text_search.h"

#include <cstdint>
#include <cstring>

namespace textrill {
namespace {

inline bool IsLeadByte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Moves `cursor`, a character boundary, forward character by character until
// it reaches or passes `target`; returns the first boundary at or after
// `target`. Runs of ASCII are skipped eight bytes at a time.
std::size_t AdvanceToBoundary(std::string_view text, std::size_t cursor, std::size_t target) {
  const char* data = text.data();
  while (cursor < target) {
    if (cursor + 8 <= target) {
      std::uint64_t word;
      std::memcpy(&word, data + cursor, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        cursor += 8;
        continue;
      }
    }
    cursor += IsLeadByte(data[cursor]) ? 2 : 1;
  }
  return cursor;
}

bool MatchesFolded(const char* at, std::string_view needle) {
  for (std::size_t k = 0; k < needle.size(); ++k) {
    if (FoldAscii(at[k]) != FoldAscii(needle[k])) return false;
  }
  return true;
}

inline bool IsSpaceAt(std::string_view text, std::size_t pos) {
  return text[pos] == ' ' || (text[pos] == '\xA1' && pos + 1 < text.size() && text[pos + 1] == '\xA1');
}

}  // namespace

int FindText(std::string_view text, std::string_view needle, int start, bool ignore_case) {
  if (start < 1) start = 1;
  const std::size_t from = static_cast<std::size_t>(start) - 1;
  if (from >= text.size()) return -1;
  if (needle.empty()) return 1;
  if (needle.size() > text.size() - from) return -1;
  const std::size_t last = text.size() - needle.size();

  if (!ignore_case) {
    // Find byte matches with memmem and keep only those on a character
    // boundary; the boundary cursor only moves forward, so the whole search is
    // linear.
    std::size_t cursor = from;
    while (cursor <= last) {
      const void* hit =
          memmem(text.data() + cursor, text.size() - cursor, needle.data(), needle.size());
      if (hit == nullptr) return -1;
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
      cursor = AdvanceToBoundary(text, cursor, at);
      if (cursor == at) return static_cast<int>(at) + 1;
    }
    return -1;
  }

  const char first = FoldAscii(needle[0]);
  for (std::size_t pos = from; pos <= last; pos += IsLeadByte(text[pos]) ? 2 : 1) {
    if (FoldAscii(text[pos]) == first && MatchesFolded(text.data() + pos, needle)) {
      return static_cast<int>(pos) + 1;
    }
  }
  return -1;
}

std::string_view TrimText(std::string_view text, bool leading, bool trailing) {
  std::size_t begin = 0;
  if (leading) {
    while (begin < text.size() && IsSpaceAt(text, begin)) begin += text[begin] == ' ' ? 1 : 2;
  }
  std::size_t end = text.size();
  if (trailing) {
    // Walk the characters so that A1 A1 is only taken as a space where it is
    // a whole character; `end` follows the last character that is no space.
    end = begin;
    for (std::size_t pos = begin; pos < text.size();) {
      const bool space = IsSpaceAt(text, pos);
      const std::size_t width = (space && text[pos] == ' ') || !IsLeadByte(text[pos]) ? 1 : 2;
      pos += width;
      if (!space) end = pos < text.size() ? pos : text.size();
    }
  }
  return text.substr(begin, end - begin);
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (std::size_t pos = 0; pos < out.size(); ++pos) {
    if (IsLeadByte(out[pos])) {
      ++pos;  // skip the second byte of the character
    } else if (out[pos] >= 'a' && out[pos] <= 'z') {
      out[pos] = static_cast<char>(out[pos] - 32);
    }
  }
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (std::size_t pos = 0; pos < out.size(); ++pos) {
    if (IsLeadByte(out[pos])) {
      ++pos;
    } else {
      out[pos] = FoldAscii(out[pos]);
    }
  }
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && MatchesFolded(a.data(), b);
}

}  // namespace textrill
