#include "service/recognizer.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>

namespace textrill::service {
namespace {

// --- Picture handling -------------------------------------------------------

struct PixDeleter {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

struct BoxaDeleter {
  void operator()(Boxa* boxa) const { boxaDestroy(&boxa); }
};
using BoxaPtr = std::unique_ptr<Boxa, BoxaDeleter>;

// White border added around the picture: the engine reads text that touches
// the picture's edge badly.
constexpr int kBorder = 16;
// Text whose typical glyph part is smaller than this many pixels (a font of
// about 18 px) is scaled up to about kTargetPartHeight (about 24 px), where the
// engine's models read well; scaling more blurs the strokes of Chinese text.
constexpr double kSmallPartHeight = 10;
constexpr double kTargetPartHeight = 13;
constexpr double kMaxScale = 4;
constexpr double kMaxScaledPixels = 30'000'000;

// The median height of the dark connected parts of `gray` (8 bpp, dark text on
// a light background) that may be parts of glyphs, or 0 when there are too few
// to tell. Glyph parts are about half the font size in pixels.
double MedianPartHeight(Pix* gray) {
  PixPtr binary(pixThresholdToBinary(gray, 128));
  if (!binary) return 0;
  BoxaPtr boxes(pixConnCompBB(binary.get(), 8));
  if (!boxes) return 0;
  const int width = pixGetWidth(gray);
  const int height = pixGetHeight(gray);
  std::vector<int> heights;
  const int count = boxaGetCount(boxes.get());
  heights.reserve(static_cast<std::size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    l_int32 x, y, w, h;
    if (boxaGetBoxGeometry(boxes.get(), i, &x, &y, &w, &h) != 0) continue;
    // Specks and frames, rules or pictures are not glyph parts.
    if (h < 3 || h > height / 2 || w > width / 2) continue;
    heights.push_back(h);
  }
  if (heights.size() < 3) return 0;
  auto middle = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2);
  std::nth_element(heights.begin(), middle, heights.end());
  return *middle;
}

// Turns the decoded picture into what the engine reads best: 8-bit grey,
// dark text on a light background, small text scaled up, a white border.
// `scale` receives the factor applied, to map boxes back.
PixPtr PreparePicture(Pix* decoded, double& scale) {
  scale = 1;
  PixPtr flattened;
  Pix* source = decoded;
  if (pixGetDepth(decoded) == 32 && pixGetSpp(decoded) == 4) {
    // Transparent parts count as white paper, not as black.
    flattened.reset(pixAlphaBlendUniform(decoded, 0xffffff00));
    if (!flattened) return nullptr;
    source = flattened.get();
  }
  PixPtr gray(pixConvertTo8(source, 0));
  if (!gray) return nullptr;
  l_float32 mean = 255;
  if (pixGetAverageMasked(gray.get(), nullptr, 0, 0, 2, L_MEAN_ABSVAL, &mean) == 0 && mean < 128) {
    pixInvert(gray.get(), gray.get());  // light text on a dark background
  }
  const double part = MedianPartHeight(gray.get());
  if (part > 0 && part < kSmallPartHeight) {
    const double pixels = double(pixGetWidth(gray.get())) * pixGetHeight(gray.get());
    scale = std::min({kTargetPartHeight / part, kMaxScale, std::sqrt(kMaxScaledPixels / pixels)});
    if (scale > 1.05) {
      PixPtr scaled(pixScaleGrayLI(gray.get(), float(scale), float(scale)));
      if (scaled) {
        gray = std::move(scaled);
      } else {
        scale = 1;
      }
    } else {
      scale = 1;
    }
  }
  PixPtr bordered(pixAddBorder(gray.get(), kBorder, 255));
  return bordered;
}

// The runs of blank columns (no dark pixel in rows [top, bottom)) of the
// 1 bpp picture `binary` (1 = dark) strictly inside [from, to): the gaps
// between the glyphs of a line. Each run is {first column, width}.
std::vector<std::pair<int, int>> BlankRuns(Pix* binary, int from, int to, int top, int bottom) {
  from = std::max(from, 0);
  to = std::min(to, static_cast<int>(pixGetWidth(binary)));
  top = std::max(top, 0);
  bottom = std::min(bottom, static_cast<int>(pixGetHeight(binary)));
  const l_uint32* data = pixGetData(binary);
  const int words_per_line = pixGetWpl(binary);
  std::vector<std::pair<int, int>> runs;
  int run_start = -1;
  bool seen_ink = false;
  for (int x = from; x < to; ++x) {
    bool blank = true;
    for (int y = top; y < bottom && blank; ++y) {
      const l_uint32* row = data + static_cast<std::ptrdiff_t>(y) * words_per_line;
      blank = GET_DATA_BIT(row, x) == 0;
    }
    if (blank) {
      if (run_start < 0) run_start = x;
    } else {
      // Blank columns before the first ink are margin, not a gap.
      if (run_start >= 0 && seen_ink) runs.emplace_back(run_start, x - run_start);
      run_start = -1;
      seen_ink = true;
    }
  }
  return runs;
}

// Sets each word's gap_before from the blank runs of its line. The engine's
// word boxes are only roughly placed, so each run is given to the word
// boundary nearest to it rather than measured between the boxes.
void AssignGaps(std::vector<WordBox>& words, const std::vector<std::pair<int, int>>& edges,
                const std::vector<std::pair<int, int>>& runs) {
  if (words.size() < 2) return;
  for (const auto& [start, width] : runs) {
    const double centre = start + width / 2.0;
    std::size_t nearest = 1;
    double best = -1;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const double boundary = (edges[i - 1].second + edges[i].first) / 2.0;
      const double distance = std::abs(boundary - centre);
      if (best < 0 || distance < best) {
        best = distance;
        nearest = i;
      }
    }
    words[nearest].gap_before = std::max(words[nearest].gap_before, width);
  }
}

// --- Joining words ----------------------------------------------------------

// The first or last code point of UTF-8 text; 0 for an empty text.
char32_t DecodeAt(const std::string& text, std::size_t start) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(start);
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
  for (int i = 1; i <= extra && start + i < text.size(); ++i)
    cp = (cp << 6) | (byte(start + i) & 0x3F);
  return cp;
}
char32_t FirstCodePoint(const std::string& text) { return text.empty() ? 0 : DecodeAt(text, 0); }
char32_t LastCodePoint(const std::string& text) {
  if (text.empty()) return 0;
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return DecodeAt(text, start);
}

enum class Kind { kOther, kIdeograph, kCjkPunctuation, kGeneralPunctuation };

Kind KindOf(char32_t cp) {
  if ((cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
      (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7AF) ||
      (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x20000 && cp <= 0x3FFFF)) {
    return Kind::kIdeograph;
  }
  if ((cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
      (cp >= 0xFF00 && cp <= 0xFFEF)) {
    return Kind::kCjkPunctuation;
  }
  if (cp == 0x2014 || (cp >= 0x2018 && cp <= 0x201F) || cp == 0x2026 || cp == 0x00B7) {
    return Kind::kGeneralPunctuation;
  }
  return Kind::kOther;
}

bool NeedsSpace(const WordBox& before, const WordBox& after, int line_height) {
  const Kind a = KindOf(LastCodePoint(before.text));
  const Kind b = KindOf(FirstCodePoint(after.text));
  const bool a_cjk = a == Kind::kIdeograph || a == Kind::kCjkPunctuation;
  const bool b_cjk = b == Kind::kIdeograph || b == Kind::kCjkPunctuation;
  if (!a_cjk && !b_cjk) return true;
  if (a == Kind::kCjkPunctuation || b == Kind::kCjkPunctuation) return false;
  if (a == Kind::kGeneralPunctuation || b == Kind::kGeneralPunctuation) return false;
  // Between two ideographs only a gap of half a character or more is a space;
  // narrow glyphs leave natural gaps of up to a third. Next to a Latin word a
  // quarter of the line's height already is one.
  if (a == Kind::kIdeograph && b == Kind::kIdeograph) return after.gap_before * 2 > line_height;
  return after.gap_before * 4 > line_height;
}

// Removes control characters: a line is one line of text.
std::string CleanLineText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) out.push_back(c);
  }
  return out;
}

double Round4(double value) { return std::round(value * 10000) / 10000; }

}  // namespace

std::string JoinWords(const std::vector<WordBox>& words, int line_height) {
  std::string line;
  const WordBox* previous = nullptr;
  for (const WordBox& word : words) {
    if (word.text.empty()) continue;
    if (previous && NeedsSpace(*previous, word, line_height)) line.push_back(' ');
    line += word.text;
    previous = &word;
  }
  return line;
}

void InitializeImageLibrary() { setMsgSeverity(L_SEVERITY_NONE); }

Recognizer::Recognizer(std::unique_ptr<tesseract::TessBaseAPI> api) : api_(std::move(api)) {}

Recognizer::~Recognizer() {
  if (api_) api_->End();
}

std::unique_ptr<Recognizer> Recognizer::Create(const std::string& languages) {
  auto api = std::make_unique<tesseract::TessBaseAPI>();
  // The engine's diagnostics go nowhere; the service logs its own line.
  api->SetVariable("debug_file", "/dev/null");
  if (api->Init(nullptr, languages.c_str(), tesseract::OEM_DEFAULT) != 0) return nullptr;
  api->SetPageSegMode(tesseract::PSM_AUTO);
  return std::unique_ptr<Recognizer>(new Recognizer(std::move(api)));
}

ServiceError Recognizer::Recognize(std::span<const std::uint8_t> picture,
                                   std::vector<RecognizedLine>& lines) {
  lines.clear();
  if (picture.empty()) return ServiceError::kUndecodable;
  l_int32 format = 0, w = 0, h = 0, bps = 0, spp = 0, colormap = 0;
  if (pixReadHeaderMem(picture.data(), picture.size(), &format, &w, &h, &bps, &spp, &colormap) !=
          0 ||
      w <= 0 || h <= 0) {
    return ServiceError::kUndecodable;
  }
  if (std::int64_t{w} * h > kMaxPicturePixels) return ServiceError::kPictureTooLarge;
  PixPtr decoded(pixReadMem(picture.data(), picture.size()));
  if (!decoded) return ServiceError::kUndecodable;
  double scale = 1;
  PixPtr prepared = PreparePicture(decoded.get(), scale);
  decoded.reset();
  if (!prepared) return ServiceError::kRecognitionFailed;

  api_->SetImage(prepared.get());
  // Screenshots state no useful resolution. Small text has been scaled up to
  // ordinary print size at 300 dpi, which is what the engine's size limits
  // expect.
  api_->SetSourceResolution(300);
  if (api_->Recognize(nullptr) != 0) {
    api_->Clear();
    return ServiceError::kRecognitionFailed;
  }
  PixPtr binary(pixThresholdToBinary(prepared.get(), 128));
  if (!binary) {
    api_->Clear();
    return ServiceError::kRecognitionFailed;
  }
  std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
  const auto to_source = [&](int v) {
    return static_cast<int>(std::lround((v - kBorder) / scale));
  };
  if (it && !it->Empty(tesseract::RIL_WORD)) {
    do {
      if (it->Empty(tesseract::RIL_WORD)) continue;
      int line_left = 0, line_top = 0, line_right = 0, line_bottom = 0;
      it->BoundingBox(tesseract::RIL_TEXTLINE, &line_left, &line_top, &line_right, &line_bottom);
      std::vector<WordBox> words;
      std::vector<double> confidences;
      std::vector<std::pair<int, int>> edges;  // left and right of each word
      do {
        std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
        if (text && text[0] != '\0') {
          int l = 0, t = 0, r = 0, b = 0;
          it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b);
          words.push_back({CleanLineText(text.get()), 0});
          edges.emplace_back(l, r);
          confidences.push_back(std::clamp(it->Confidence(tesseract::RIL_WORD) / 100.0, 0.0, 1.0));
        }
      } while (!it->IsAtFinalElement(tesseract::RIL_TEXTLINE, tesseract::RIL_WORD) &&
               it->Next(tesseract::RIL_WORD));
      AssignGaps(words, edges,
                 BlankRuns(binary.get(), line_left, line_right, line_top, line_bottom));
      RecognizedLine line;
      line.text = JoinWords(words, line_bottom - line_top);
      // A line of nothing but spaces is no line.
      if (line.text.find_first_not_of(' ') == std::string::npos) continue;
      double sum = 0;
      double lowest = 1;
      for (double c : confidences) {
        sum += c;
        lowest = std::min(lowest, c);
      }
      const double average = sum / double(confidences.size());
      double squares = 0;
      for (double c : confidences) squares += (c - average) * (c - average);
      line.average = Round4(average);
      line.min = Round4(lowest);
      line.variance = Round4(squares / double(confidences.size()));
      line.left = std::max(0, to_source(line_left));
      line.top = std::max(0, to_source(line_top));
      line.width = std::max(0, std::min(w, to_source(line_right)) - line.left);
      line.height = std::max(0, std::min(h, to_source(line_bottom)) - line.top);
      lines.push_back(std::move(line));
    } while (it->Next(tesseract::RIL_TEXTLINE));
  }
  it.reset();
  // Frees the picture and the page's results; the models stay loaded.
  api_->Clear();
  return ServiceError::kNone;
}

}  // namespace textrill::service
