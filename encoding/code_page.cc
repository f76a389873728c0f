#include "encoding/code_page.h"

#include <cstring>

#include "platform/code_page_service.h"

namespace textrill {
namespace {

constexpr unsigned kDefaultCodePage = platform::kCodePageGbk;

unsigned CodePageOr936(std::optional<int> code_page) {
  return code_page ? static_cast<unsigned>(*code_page) : kDefaultCodePage;
}

// Converts UTF-16 to the code page and cuts the result at its first zero byte.
std::string EncodeUpToZero(unsigned code_page, std::u16string_view units) {
  std::optional<std::string> text = platform::EncodeCodePage(code_page, units);
  if (!text) return "";
  text->resize(std::strlen(text->c_str()));
  return std::move(*text);
}

}  // namespace

std::vector<std::uint8_t> AnsiToWide(const std::string& text, std::optional<int> code_page,
                                     int* wide_length) {
  const std::size_t n = std::strlen(text.c_str());
  if (n == 0) return {};
  std::optional<std::u16string> units =
      platform::DecodeCodePage(CodePageOr936(code_page), std::string_view(text.data(), n));
  if (!units) {
    if (wide_length) *wide_length = -1;
    return {};
  }
  std::vector<std::uint8_t> wide((units->size() + 1) * 2, 0);
  for (std::size_t k = 0; k < units->size(); ++k) {
    wide[2 * k] = static_cast<std::uint8_t>((*units)[k] & 0xFF);
    wide[2 * k + 1] = static_cast<std::uint8_t>((*units)[k] >> 8);
  }
  if (wide_length) *wide_length = static_cast<int>(units->size());
  return wide;
}

std::string WideToAnsi(const std::vector<std::uint8_t>& wide, std::optional<int> code_page) {
  const std::size_t count = wide.size() / 2;
  if (count == 0) return "";
  std::u16string units(count, u'\0');
  for (std::size_t k = 0; k < count; ++k) {
    units[k] = static_cast<char16_t>(wide[2 * k] | (wide[2 * k + 1] << 8));
  }
  return EncodeUpToZero(CodePageOr936(code_page), units);
}

std::string Utf8ToAnsi(const std::vector<std::uint8_t>& utf8, std::optional<int> code_page) {
  if (utf8.empty()) return "";
  std::optional<std::u16string> units = platform::DecodeCodePage(
      platform::kCodePageUtf8,
      std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
  if (!units || units->empty()) return "";
  return EncodeUpToZero(CodePageOr936(code_page), *units);
}

}  // namespace textrill
