// Picture intake: the handlers of 浏览 and GO, and the acceptance steps they
// share. They read a picture (a chosen file, a typed path or a downloaded
// address) into ImageBytes, check and preview it, encode it into
// EncodedImage and start the recognition job.
//
// Threads: the window's thread only. The handlers take the window as
// Controls (tests pass a fake). A download blocks the calling thread, bounded
// by Session's timeouts. While a job runs (浏览 and GO are disabled then) a
// handler that is called anyway does nothing, so Session and the picture
// globals have one user at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/controls.h"

namespace textrill {

// Pictures must be shorter than this many bytes (4 MiB).
inline constexpr std::size_t kPictureSizeLimit = 4194304;

// 浏览: empties the path box and opens the file dialog; on a confirmed choice
// shows the file's name in the path box, reads the file (through the
// dialog's own path, so names the code page cannot show still work) and runs
// AcceptImage. A cancelled dialog changes nothing else.
void OnBrowse(Controls& controls);

// GO: takes the path box's text unchanged. When it names an existing regular
// file it is read as a file; otherwise, when it contains "/", it is downloaded
// through Session (GET; a failed Open gives no bytes); otherwise it is read as
// a file. Then runs AcceptImage.
void OnGo(Controls& controls);

// Checks ImageBytes (not empty, shorter than kPictureSizeLimit, a PNG, BMP or
// JPEG signature), reporting a rejection in the caption; an accepted picture
// is previewed, encoded into EncodedImage, and the recognition job started
// with 浏览 and GO disabled ("正在尝试识别..."; "创建线程失败..." and both
// buttons enabled again when the thread cannot be started).
void AcceptImage(Controls& controls);

// The bytes of the file at `path`; empty when it cannot be read. Reading stops
// after kPictureSizeLimit bytes: a longer file is too large whatever follows.
std::vector<std::uint8_t> ReadPictureFile(const std::filesystem::path& path);

// The file system path named by a path box text (code page 936 bytes, up to
// the first zero byte).
std::filesystem::path PathFromText(const std::string& text);

}  // namespace textrill
