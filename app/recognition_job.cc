#include "app/recognition_job.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "app/globals.h"
#include "app/markers.h"
#include "app/status_texts.h"
#include "encoding/text_search.h"
#include "http/http_session.h"
#include "platform/code_page_service.h"

#ifndef TEXTRILL_RECOGNITION_URL
#define TEXTRILL_RECOGNITION_URL "http://127.0.0.1:8089/aidemo"
#endif

namespace textrill {

std::string RecognitionUrl = TEXTRILL_RECOGNITION_URL;

namespace {

// Markers of the reply (DQ = one double quote byte).
const std::string kErrnoMarker = "errno\":";
const std::string kMessageMarker = "msg\":\"";
const std::string kWordsMarker = "words\":\"";
const std::string kAverageMarker = "average\":";
const std::string kLineCountMarker = "words_result_num\":";
const std::string kComma = ",";

bool IsLeadByte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

std::string Elapsed(std::int64_t start_ms) {
  return status::kElapsed + std::to_string(MonotonicMilliseconds() - start_ms) + "ms]";
}

// The 0-based index of the closing quote of a JSON string whose content
// starts at `from`, or npos. Moves one character at a time; a backslash
// escapes the character after it.
std::size_t ClosingQuote(std::string_view text, std::size_t from) {
  std::size_t i = from;
  const std::size_t n = text.size();
  while (i < n) {
    const char c = text[i];
    if (c == '"') return i;
    if (c == '\\') {
      ++i;  // the escaped character follows; step over it below
      if (i >= n) break;
    }
    i += IsLeadByte(text[i]) ? 2 : 1;
  }
  return std::string_view::npos;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" at `at`, or -1 when there is none.
int UnicodeEscapeAt(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int unit = 0;
  for (std::size_t k = at + 2; k < at + 6; ++k) {
    const int digit = HexValue(text[k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// Ownership of the worker thread. The window's thread starts and stops it;
// `running` is cleared by the worker as its last action.
struct Worker {
  std::mutex mutex;
  std::condition_variable ended;
  std::thread thread;
  bool running = false;
  std::atomic<bool> stopping{false};
};

Worker& TheWorker() {
  static Worker worker;
  return worker;
}

void JoinEnded(Worker& worker) {
  std::thread finished;
  {
    std::unique_lock lock(worker.mutex);
    worker.ended.wait(lock, [&] { return !worker.running; });
    finished = std::move(worker.thread);
  }
  if (finished.joinable()) finished.join();
}

// Enables GO and 浏览 when the job leaves by any path.
class EnableButtonsAtEnd {
 public:
  explicit EnableButtonsAtEnd(Controls& controls) : controls_(controls) {}
  ~EnableButtonsAtEnd() {
    controls_.SetGoEnabled(true);
    controls_.SetBrowseEnabled(true);
  }
  EnableButtonsAtEnd(const EnableButtonsAtEnd&) = delete;
  EnableButtonsAtEnd& operator=(const EnableButtonsAtEnd&) = delete;

 private:
  Controls& controls_;
};

}  // namespace

std::int64_t MonotonicMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string BuildRequestBody(std::string_view image_format, std::string_view encoded_image) {
  static constexpr std::string_view kHead = "type=webimage&image=data%3Aimage%2F";
  static constexpr std::string_view kBase64 = "%3Bbase64%2C";
  static constexpr std::string_view kTail = "&image_url=";
  std::string body;
  body.reserve(kHead.size() + image_format.size() + kBase64.size() + encoded_image.size() +
               kTail.size());
  body.append(kHead).append(image_format).append(kBase64).append(encoded_image).append(kTail);
  return body;
}

int TakeAllJsonStrings(const std::string& text, const std::string& left_marker,
                       std::vector<std::string>* results) {
  std::vector<std::string> pieces;
  if (!left_marker.empty()) {
    int pos = 1;
    while (true) {
      const int p = FindText(text, left_marker, pos);
      if (p < 1) break;
      const std::size_t start = static_cast<std::size_t>(p - 1) + left_marker.size();
      const std::size_t quote = ClosingQuote(text, start);
      if (quote == std::string_view::npos) break;
      pieces.emplace_back(text, start, quote - start);
      pos = static_cast<int>(quote) + 2;  // 1-based position after the quote
    }
  }
  const int count = static_cast<int>(pieces.size());
  if (results != nullptr) *results = std::move(pieces);
  return count;
}

std::string TakeJsonString(const std::string& text, const std::string& left_marker) {
  if (left_marker.empty()) return "";
  const int p = FindText(text, left_marker);
  if (p < 1) return "";
  const std::size_t start = static_cast<std::size_t>(p - 1) + left_marker.size();
  const std::size_t quote = ClosingQuote(text, start);
  if (quote == std::string_view::npos) return "";
  return text.substr(start, quote - start);
}

std::string UnescapeJsonText(std::string_view text) {
  if (text.find('\\') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const char c = text[i];
    if (IsLeadByte(c)) {
      out.append(text.substr(i, 2));
      i += 2;
      continue;
    }
    if (c != '\\' || i + 1 >= n) {
      out.push_back(c);
      ++i;
      continue;
    }
    const char next = text[i + 1];
    char simple = 0;
    switch (next) {
      case '"':
        simple = '"';
        break;
      case '\\':
        simple = '\\';
        break;
      case '/':
        simple = '/';
        break;
      case 'b':
        simple = '\b';
        break;
      case 'f':
        simple = '\f';
        break;
      case 'n':
        simple = '\n';
        break;
      case 'r':
        simple = '\r';
        break;
      case 't':
        simple = '\t';
        break;
      default:
        break;
    }
    if (simple != 0) {
      out.push_back(simple);
      i += 2;
      continue;
    }
    if (UnicodeEscapeAt(text, i) < 0) {
      // Not a JSON escape: keep the backslash; the next character follows as
      // it stands.
      out.push_back(c);
      ++i;
      continue;
    }
    // A run of \uXXXX escapes, converted together so that surrogate pairs
    // join into one character.
    std::u16string units;
    int unit;
    while ((unit = UnicodeEscapeAt(text, i)) >= 0) {
      units.push_back(unit == 0 ? u'?' : static_cast<char16_t>(unit));
      i += 6;
    }
    std::optional<std::string> converted = platform::EncodeCodePage(platform::kCodePageGbk, units);
    if (converted) {
      out += *converted;
    } else {
      out.append(units.size(), '?');
    }
  }
  return out;
}

void ShowRecognitionReply(Controls& controls, const std::string& reply, std::int64_t start_ms) {
  const std::string error_number = TakeBetween(reply, kErrnoMarker, kComma);
  if (error_number != "0") {
    const std::string message = UnescapeJsonText(TakeJsonString(reply, kMessageMarker));
    controls.SetStatus(status::kRecognitionError + error_number + "(" + message + ")] " +
                       Elapsed(start_ms));
    return;
  }
  std::vector<std::string> lines;
  std::vector<std::string> confidences;
  TakeAllJsonStrings(reply, kWordsMarker, &lines);
  TakeAllBetween(reply, kAverageMarker, kComma, &confidences);
  if (lines.empty()) {
    controls.SetStatus(status::kNoText + Elapsed(start_ms) + status::kWithTransfer);
    return;
  }
  const std::string line_count = TakeBetween(reply, kLineCountMarker, kComma);
  controls.SetStatus(status::kFound + line_count + status::kFoundLines + Elapsed(start_ms) +
                     status::kWithTransfer);
  static const std::string kEmpty;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const int row = controls.AppendRow();
    if (row < 0) continue;
    std::string text = UnescapeJsonText(lines[k]);
    AllResultsText.Append(text);
    AllResultsText.Append("\r\n");
    controls.SetCell(row, 0, std::to_string(row + 1));
    controls.SetCell(row, 1, k < confidences.size() ? confidences[k] : kEmpty);
    controls.SetCell(row, 2, text);
  }
}

void RecognitionJob(Controls& controls) {
  const std::int64_t start_ms = MonotonicMilliseconds();
  EnableButtonsAtEnd enable_buttons(controls);
  controls.ClearRows();
  AllResultsText.Set("");

  if (TheWorker().stopping.load() || !Session || !Session->Open("POST", RecognitionUrl)) {
    controls.SetStatus(status::kRequestError + std::string("0()] ") + Elapsed(start_ms));
    return;
  }
  {
    // Built in place inside the optional so that the body is never copied;
    // released as soon as it is sent.
    const std::optional<std::string> body(std::in_place,
                                          BuildRequestBody(ImageFormat, EncodedImage));
    if (!TheWorker().stopping.load()) Session->SendText(body);
  }
  if (Session->StatusCode() != 200) {
    const int code = Session->StatusCode();
    controls.SetStatus(status::kRequestError + std::to_string(code) + "(" + Session->StatusText() +
                       ")] " + Elapsed(start_ms));
    return;
  }
  ShowRecognitionReply(controls, Session->ResponseTextUtf8(), start_ms);
}

bool StartRecognition(Controls& controls) {
  Worker& worker = TheWorker();
  std::unique_lock lock(worker.mutex);
  if (worker.running) return false;
  if (worker.thread.joinable()) {
    // The previous job has ended (running is false); its thread is finishing.
    std::thread finished = std::move(worker.thread);
    lock.unlock();
    finished.join();
    lock.lock();
  }
  worker.stopping = false;
  worker.running = true;
  try {
    worker.thread = std::thread([&worker, &controls] {
      try {
        RecognitionJob(controls);
      } catch (...) {
        // Out of memory while building the body or reading a huge reply: the
        // buttons were enabled on the way out; the caption keeps what it has.
      }
      std::lock_guard end_lock(worker.mutex);
      worker.running = false;
      worker.ended.notify_all();
    });
  } catch (const std::system_error&) {
    worker.running = false;
    return false;
  }
  return true;
}

void StopRecognition() {
  Worker& worker = TheWorker();
  {
    std::unique_lock lock(worker.mutex);
    if (worker.running) {
      worker.stopping = true;
      // A cancel that arrives before the exchange has begun may be lost, so it
      // is repeated until the worker has ended.
      do {
        if (Session) Session->Cancel();
      } while (!worker.ended.wait_for(lock, std::chrono::milliseconds(10),
                                      [&] { return !worker.running; }));
    }
  }
  JoinEnded(worker);
}

void WaitForRecognition() { JoinEnded(TheWorker()); }

bool RecognitionRunning() {
  Worker& worker = TheWorker();
  std::lock_guard lock(worker.mutex);
  return worker.running;
}

}  // namespace textrill
