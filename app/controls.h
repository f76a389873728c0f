// Controls: the operations of the main window that picture intake and the
// recognition job use. The Qt main window implements them; tests use a fake,
// so the logic runs without a display.
//
// Texts are code page 936 bytes. Every operation may be called from any
// thread: the window carries it out on its own thread, and the operations
// called by one thread take effect in the order they were called, so a read
// sees every earlier write of the same thread. All but SetCell return when
// they are done; SetCell, called row after row while a long result is listed,
// returns once its work is queued. Once the window has begun to
// close, every operation returns at once without effect (reads give "", -1 or
// false), so a worker thread never blocks on a window that is going away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace textrill {

class Controls {
 public:
  virtual ~Controls() = default;

  // The status line: replaces the window's caption.
  virtual void SetStatus(const std::string& text) = 0;

  // 图片路径, the path box: read and replace its text.
  virtual std::string PathText() = 0;
  virtual void SetPathText(const std::string& text) = 0;

  // 预览: shows PNG, BMP or JPEG file bytes (at their own size, centred, or
  // scaled down to fit). Bytes that cannot be decoded leave the box empty.
  virtual void ShowPreview(const std::vector<std::uint8_t>& bytes) = 0;

  // 文件, the file-open dialog: true when the user confirmed a file. Then
  // DialogFileName is its full path as code page 936 text (for the path box;
  // characters the code page lacks become "?"), and DialogFilePath the path
  // itself, to read the file with.
  virtual bool OpenFileDialog() = 0;
  virtual std::string DialogFileName() = 0;
  virtual std::filesystem::path DialogFilePath() = 0;

  // GO and 浏览: enable or disable.
  virtual void SetGoEnabled(bool enabled) = 0;
  virtual void SetBrowseEnabled(bool enabled) = 0;

  // 结果, the result list: delete all rows; append an empty row (its index, or
  // -1 when refused); set and read a cell (column 0 to 2); the selected row
  // (-1 when none).
  virtual void ClearRows() = 0;
  virtual int AppendRow() = 0;
  virtual void SetCell(int row, int column, const std::string& text) = 0;
  virtual std::string Cell(int row, int column) = 0;
  virtual int SelectedRow() = 0;
};

}  // namespace textrill
