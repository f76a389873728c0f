// The caption texts of picture intake and the recognition job, as the code
// page 936 bytes the window shows (each line's comment gives the characters).
// Composed messages join these pieces with their values; see intake.cc and
// recognition_job.cc.
#pragma once

namespace textrill::status {

// 图像读入失败...
inline constexpr char kReadFailed[] = "\xCD\xBC\xCF\xF1\xB6\xC1\xC8\xEB\xCA\xA7\xB0\xDC...";
// 超过4MB限制...
inline constexpr char kTooLarge[] =
    "\xB3\xAC\xB9\xFD"
    "4MB\xCF\xDE\xD6\xC6...";
// 只支持png/bmp/jpeg格式...
inline constexpr char kUnsupportedFormat[] =
    "\xD6\xBB\xD6\xA7\xB3\xD6png/bmp/jpeg\xB8\xF1\xCA\xBD...";
// 正在尝试识别...
inline constexpr char kRecognizing[] = "\xD5\xFD\xD4\xDA\xB3\xA2\xCA\xD4\xCA\xB6\xB1\xF0...";
// 创建线程失败...
inline constexpr char kThreadFailed[] = "\xB4\xB4\xBD\xA8\xCF\xDF\xB3\xCC\xCA\xA7\xB0\xDC...";
// 请求错误[
inline constexpr char kRequestError[] = "\xC7\xEB\xC7\xF3\xB4\xED\xCE\xF3[";
// 识别错误[
inline constexpr char kRecognitionError[] = "\xCA\xB6\xB1\xF0\xB4\xED\xCE\xF3[";
// "未检测到文本信息 " (with its trailing space)
inline constexpr char kNoText[] =
    "\xCE\xB4\xBC\xEC\xB2\xE2\xB5\xBD\xCE\xC4\xB1\xBE\xD0\xC5\xCF\xA2 ";
// 检测到[
inline constexpr char kFound[] = "\xBC\xEC\xB2\xE2\xB5\xBD[";
// "]条文本信息 " (with its trailing space)
inline constexpr char kFoundLines[] = "]\xCC\xF5\xCE\xC4\xB1\xBE\xD0\xC5\xCF\xA2 ";
// 耗时[
inline constexpr char kElapsed[] = "\xBA\xC4\xCA\xB1[";
// (含图像传输)
inline constexpr char kWithTransfer[] = "(\xBA\xAC\xCD\xBC\xCF\xF1\xB4\xAB\xCA\xE4)";

}  // namespace textrill::status
