// Marker extraction: picking values out of a reply text by the fixed text
// before a value (left marker) and the fixed text after it (right marker).
// Searches follow the rules of encoding/text_search.h: character boundaries
// of code page 936 text, 1-based byte positions, ASCII-only case folding.
// Optional flags count as true only when their value is 1.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace textrill {

// The piece between the first `left_marker` found at or after
// `start_position` (from the beginning when omitted) and the next
// `right_marker` after it; with `include_markers` the markers are part of the
// piece. A failed search (no left marker, no right marker after it) gives the
// whole text with `whole_text_if_missing`, else "" (indistinguishable from an
// empty piece). An empty right marker always fails the search.
std::string TakeBetween(const std::string& text, const std::string& left_marker,
                        const std::string& right_marker,
                        std::optional<int> start_position = std::nullopt,
                        std::optional<int> include_markers = std::nullopt,
                        std::optional<int> whole_text_if_missing = std::nullopt,
                        std::optional<int> ignore_case = std::nullopt);

// Collects every piece between a left and the next right marker, in order;
// the search ends at the first left marker without a right marker after it.
// A piece containing `exclude` is skipped, and the next left marker is then
// looked for from the skipped piece's first byte. `results`, when given, is
// replaced by copies of the pieces (emptied even when none is found). Returns
// the number of pieces. An empty marker collects nothing and returns 0.
int TakeAllBetween(const std::string& text, const std::string& left_marker,
                   const std::string& right_marker, std::vector<std::string>* results = nullptr,
                   std::optional<std::string> exclude = std::nullopt,
                   std::optional<int> ignore_case = std::nullopt);

}  // namespace textrill
