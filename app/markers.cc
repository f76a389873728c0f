#include "app/markers.h"

#include "encoding/text_search.h"

namespace textrill {

std::string TakeBetween(const std::string& text, const std::string& left_marker,
                        const std::string& right_marker, std::optional<int> start_position,
                        std::optional<int> include_markers,
                        std::optional<int> whole_text_if_missing, std::optional<int> ignore_case) {
  const bool fold = ignore_case == 1;
  const int p = FindText(text, left_marker, start_position.value_or(1), fold);
  const int left_length = static_cast<int>(left_marker.size());
  const int q = p < 1 ? -1 : FindText(text, right_marker, p + left_length, fold);
  if (p < 1 || q <= p) return whole_text_if_missing == 1 ? text : std::string();
  if (include_markers == 1) {
    return text.substr(static_cast<std::size_t>(p - 1),
                       static_cast<std::size_t>(q + static_cast<int>(right_marker.size()) - p));
  }
  const int piece_start = p + left_length;  // 1-based
  if (q <= piece_start) return "";
  return text.substr(static_cast<std::size_t>(piece_start - 1),
                     static_cast<std::size_t>(q - piece_start));
}

int TakeAllBetween(const std::string& text, const std::string& left_marker,
                   const std::string& right_marker, std::vector<std::string>* results,
                   std::optional<std::string> exclude, std::optional<int> ignore_case) {
  std::vector<std::string> pieces;
  // An empty marker would be found at the same place forever: collect nothing.
  if (!left_marker.empty() && !right_marker.empty()) {
    const bool fold = ignore_case == 1;
    int pos = 1;
    while (true) {
      const int p = FindText(text, left_marker, pos, fold);
      if (p < 1) break;
      const int s = p + static_cast<int>(left_marker.size());
      const int q = FindText(text, right_marker, s, fold);
      if (q < 1) break;
      std::string_view piece(text.data() + s - 1, static_cast<std::size_t>(q - s));
      if (exclude && FindText(piece, *exclude, 1, fold) >= 1) {
        pos = s;  // look again from the skipped piece's first byte
        continue;
      }
      pieces.emplace_back(piece);
      pos = q + static_cast<int>(right_marker.size());
    }
  }
  const int count = static_cast<int>(pieces.size());
  if (results != nullptr) *results = std::move(pieces);
  return count;
}

}  // namespace textrill
