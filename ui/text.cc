#include "ui/text.h"

#include <cstdint>
#include <vector>

#include "encoding/code_page.h"

namespace textrill::ui {

QString FromAnsi(const std::string& text) {
  int units = 0;
  const std::vector<std::uint8_t> wide = AnsiToWide(text, std::nullopt, &units);
  if (wide.empty() || units <= 0) return QString();
  // UTF-16LE bytes: assemble the code units explicitly rather than relying on
  // the host's byte order or on the buffer's alignment.
  QString result(units, QChar(0));
  for (int i = 0; i < units; ++i) {
    const auto low = static_cast<char16_t>(wide[2 * i]);
    const auto high = static_cast<char16_t>(wide[2 * i + 1]);
    result[i] = QChar(static_cast<char16_t>(low | (high << 8)));
  }
  return result;
}

std::string ToAnsi(const QString& text) {
  if (text.isEmpty()) return std::string();
  std::vector<std::uint8_t> wide;
  wide.reserve(static_cast<std::size_t>(text.size()) * 2);
  for (const QChar c : text) {
    const char16_t unit = c.unicode();
    wide.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    wide.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return WideToAnsi(wide);
}

}  // namespace textrill::ui
