// MainWindow: the program's one window, on Qt 6 Widgets.
//
// Client area 914 x 356, fixed, centred on the screen when it opens: the path
// box 图片路径, the buttons 浏览 and GO, the preview box 预览 and the result
// list 结果, plus the list's popup menu "匹配内容" and the file dialog 文件.
// The caption is the program's status line (SetStatus).
//
// Lifecycle. Create, attach the handlers, show, run the event loop. When the
// user closes the window it first marks itself closing (from then on every
// control operation returns at once without effect, on every thread), then
// runs the closing hook on the window's thread, then closes; the event loop
// ends after that. Destroying the window also marks it closing.
//
// Threads. Create, show and destroy on the thread that runs the event loop
// (the window's thread); the handlers, the closing hook, the popup menu and
// the clipboard commands run there. The Controls operations may be called from
// any thread: they are carried out on the window's thread and return when
// done. A thread other than the window's must not outlive the window object:
// the closing hook is the place to stop and join such threads.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "app/controls.h"
#include "ui/window_thread.h"

class QCloseEvent;
class QFileDialog;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QAction;

namespace textrill {

class MainWindow : public QWidget, public Controls {
 public:
  using Handler = std::function<void(Controls&)>;

  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Event handlers: 浏览 clicked, GO clicked (given this window's controls),
  // and the closing hook. Attach on the window's thread before the event loop
  // runs; an empty function means no handler.
  void SetBrowseHandler(Handler handler) { on_browse_ = std::move(handler); }
  void SetGoHandler(Handler handler) { on_go_ = std::move(handler); }
  void SetClosingHook(std::function<void()> hook) { on_closing_ = std::move(hook); }

  // True once the window has begun closing. Any thread.
  bool IsClosing() const { return window_thread_.IsClosed(); }

  // ---- Controls (any thread; see app/controls.h) ----
  void SetStatus(const std::string& text) override;
  std::string PathText() override;
  void SetPathText(const std::string& text) override;
  void ShowPreview(const std::vector<std::uint8_t>& bytes) override;
  bool OpenFileDialog() override;
  std::string DialogFileName() override;
  std::filesystem::path DialogFilePath() override;
  void SetGoEnabled(bool enabled) override;
  void SetBrowseEnabled(bool enabled) override;
  void ClearRows() override;
  int AppendRow() override;
  void SetCell(int row, int column, const std::string& text) override;
  std::string Cell(int row, int column) override;
  int SelectedRow() override;

  // ---- The list's right click and the popup menu (window's thread) ----
  // Shows the popup menu "匹配内容" at the mouse cursor when a row of 结果 is
  // selected; otherwise does nothing.
  void OnResultListRightClick();
  // "复制": column 2 (匹配内容) of the selected row to the clipboard ("" when
  // no row is selected).
  void OnCopyLine();
  // "复制所有": AllResultsText to the clipboard.
  void OnCopyAll();

  // The controls, for tests and screenshots (window's thread only).
  QPlainTextEdit* PathBox() const { return path_box_; }
  QPushButton* BrowseButton() const { return browse_button_; }
  QPushButton* GoButton() const { return go_button_; }
  QLabel* PreviewBox() const { return preview_box_; }
  QTableWidget* ResultList() const { return result_list_; }
  QMenu* PopupMenu() const { return popup_menu_; }
  QAction* CopyLineAction() const { return copy_line_action_; }
  QAction* CopyAllAction() const { return copy_all_action_; }
  // 文件, created with its title and filters; shown only by OpenFileDialog.
  QFileDialog* FileDialog() const { return file_dialog_; }

  // The file dialog's title and filters, as shown.
  static const char* const kDialogTitle;
  static const char* const kDialogFilters[3];

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Marks the window closing and runs the closing hook, once.
  void BeginClosing();
  void CenterOnScreen();

  ui::WindowThread window_thread_;
  QPlainTextEdit* path_box_ = nullptr;
  QPushButton* browse_button_ = nullptr;
  QPushButton* go_button_ = nullptr;
  QLabel* preview_box_ = nullptr;
  QTableWidget* result_list_ = nullptr;
  QMenu* popup_menu_ = nullptr;
  QAction* copy_line_action_ = nullptr;
  QAction* copy_all_action_ = nullptr;
  QFileDialog* file_dialog_ = nullptr;
  // The last confirmed choice of 文件: its absolute path (window's thread).
  QString dialog_file_;

  Handler on_browse_;
  Handler on_go_;
  std::function<void()> on_closing_;
  bool closing_hook_ran_ = false;
};

}  // namespace textrill
