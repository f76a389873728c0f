// Text recognition of one picture with Tesseract, and the rules that turn the
// engine's words into the lines of a reply.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/request.h"

namespace tesseract {
class TessBaseAPI;
}

namespace textrill::service {

// One recognised line: its UTF-8 text, the confidences of its words on a 0 to 1
// scale (average, lowest, population variance) and its box in the pixels of
// the picture as it was sent.
struct RecognizedLine {
  std::string text;
  double average = 0;
  double min = 0;
  double variance = 0;
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

// A word as the engine found it on a line: UTF-8 text, and the width in
// pixels of the blank gap the picture shows between it and the word before
// (0 for the first word of a line).
struct WordBox {
  std::string text;
  int gap_before = 0;
};

// Joins the words of one line. Two words are always separated by a space when
// neither side of the join is a CJK character; when one side is, the space is
// written only when the picture shows a real gap there (between two
// ideographs at least half of `line_height`, next to a Latin word a quarter),
// and never next to CJK punctuation, which carries its own spacing. This undoes the engine's habit
// of putting a space between every two Chinese characters.
std::string JoinWords(const std::vector<WordBox>& words, int line_height);

// Sets the process-wide switches of the image library (its messages on
// standard error are silenced). Call once, before any Recognizer is used from
// more than one thread.
void InitializeImageLibrary();

// One Tesseract engine with its language models loaded.
//
// Lifecycle: Create loads the models (slow: hundreds of milliseconds); the
// engine is then reused for any number of pictures. A Recognizer is not
// thread-safe: one thread at a time may call Recognize. Distinct Recognizers
// may recognise in parallel, but Create sets some process-wide engine
// parameters, so engines are created one at a time, before they are used.
class Recognizer {
 public:
  // Loads `languages` ("chi_sim+eng", Tesseract's "+" list) from the system's
  // data folder. Returns nullptr when the engine cannot start (models missing).
  static std::unique_ptr<Recognizer> Create(const std::string& languages);

  ~Recognizer();
  Recognizer(const Recognizer&) = delete;
  Recognizer& operator=(const Recognizer&) = delete;

  // Recognises the PNG, BMP or JPEG picture in `picture`. On kNone, `lines`
  // holds the lines in reading order (empty for a picture without text).
  // kUndecodable: the bytes are not a readable picture; kPictureTooLarge: its
  // dimensions are over the limit; kRecognitionFailed: the engine failed.
  ServiceError Recognize(std::span<const std::uint8_t> picture, std::vector<RecognizedLine>& lines);

 private:
  explicit Recognizer(std::unique_ptr<tesseract::TessBaseAPI> api);
  std::unique_ptr<tesseract::TessBaseAPI> api_;
};

// The largest picture read, in pixels (width times height).
inline constexpr std::int64_t kMaxPicturePixels = 40'000'000;

}  // namespace textrill::service
