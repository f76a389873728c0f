// The recognition job: posts the accepted picture to the recognition service,
// reads the reply by its markers, and reports the outcome in the caption and
// the result list 结果.
//
// Threads: RecognitionJob runs on the worker thread that StartRecognition
// creates; it talks to the window only through Controls (whose operations the
// window carries out on its own thread) and is the only user of Session while
// it runs, because 浏览 and GO stay disabled from the job's start to its end.
// StartRecognition, StopRecognition, WaitForRecognition and
// RecognitionRunning are called on the window's thread. The helpers for
// building the request and reading the reply are pure and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/controls.h"

namespace textrill {

// The address the job posts to. Set from the build's RECOGNITION_URL; tests
// point it at their own server. Written only while no job runs.
extern std::string RecognitionUrl;

// Milliseconds of a monotonic clock (64 bits: never wraps).
std::int64_t MonotonicMilliseconds();

// The job itself, run on the worker thread: empties 结果 and AllResultsText,
// posts BuildRequestBody(ImageFormat, EncodedImage) to RecognitionUrl through
// Session, reports the outcome with elapsed milliseconds, fills 结果 and
// AllResultsText, and at last enables GO and 浏览 whatever the outcome. A
// failed Open reports "请求错误[0()]" without sending.
void RecognitionJob(Controls& controls);

// Starts RecognitionJob(controls) on the worker thread and returns at once.
// `controls` must outlive the job (StopRecognition or WaitForRecognition end
// it). Returns false when a job still runs or the thread cannot be created;
// then nothing was started.
bool StartRecognition(Controls& controls);

// Ends the running job, if any: cancels the exchange in flight
// (Session->Cancel(), repeated until the worker has noticed) and waits for the
// worker. Safe to call when no job runs. Meant for the window's closing hook:
// the window must already refuse control operations (they return at once), so
// the worker cannot wait on the window while the window waits for it.
void StopRecognition();

// Waits until the running job, if any, has ended on its own.
void WaitForRecognition();

// True from StartRecognition until the job has ended.
bool RecognitionRunning();

// The form body posted to the service, joined from its five pieces with one
// allocation: "type=webimage&image=data%3Aimage%2F" + image_format +
// "%3Bbase64%2C" + encoded_image + "&image_url=".
std::string BuildRequestBody(std::string_view image_format, std::string_view encoded_image);

// Reads a JSON string that starts right after the first `left_marker` of
// `text` (code page 936, searched by the rules of encoding/text_search.h):
// its raw content up to, not including, the first double quote not escaped by
// a backslash, still escaped. "" when the marker or the closing quote is
// missing.
std::string TakeJsonString(const std::string& text, const std::string& left_marker);

// Every such JSON string in order; the search for the next marker starts after
// the previous string's closing quote and ends at a marker whose string has no
// closing quote. `results`, when given, is replaced by the raw (escaped)
// contents. Returns their number.
int TakeAllJsonStrings(const std::string& text, const std::string& left_marker,
                       std::vector<std::string>* results);

// The characters of an escaped JSON string content in code page 936: \" \\ \/
// \b \f \n \r \t become their characters, \uXXXX (surrogate pairs joined)
// becomes the character in code page 936, "?" where the code page has none
// (U+0000 and unpaired surrogates too, since texts end at a zero byte). An
// escape that is not valid JSON stays as it stands. The second byte of a
// double-byte character is never taken for a backslash.
std::string UnescapeJsonText(std::string_view text);

// Reads a reply of status 200 (code page 936 text) and reports it: the
// caption ("识别错误[", "未检测到文本信息" or "检测到[" with the milliseconds since
// `start_ms` of MonotonicMilliseconds), then the rows of 结果 and
// AllResultsText. Assumes the list and AllResultsText were emptied.
void ShowRecognitionReply(Controls& controls, const std::string& reply, std::int64_t start_ms);

}  // namespace textrill
