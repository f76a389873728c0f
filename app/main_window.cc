#include "app/main_window.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QTextOption>
#include <limits>

#include "app/globals.h"
#include "ui/clipboard.h"
#include "ui/picture.h"
#include "ui/text.h"

namespace textrill {

const char* const MainWindow::kDialogTitle = "请选择本地文件或输入网络文件地址";
// Qt separates the patterns of one filter by spaces (a ";" would make
// "*.jpg;*.jpeg" one pattern that matches nothing).
const char* const MainWindow::kDialogFilters[3] = {"PNG(*.png)", "BMP(*.bmp)",
                                                   "JPEG(*.jpg *.jpeg)"};

namespace {

constexpr int kClientWidth = 914;
constexpr int kClientHeight = 356;
constexpr int kColumns = 3;

// The path box's text uses CR LF between lines, as an edit box's text does;
// Qt's editor works with LF.
QString ToEditorText(QString text) {
  return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}
QString FromEditorText(QString text) { return text.replace(QChar('\n'), QStringLiteral("\r\n")); }

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("Textrill - Marrowby"));
  setFixedSize(kClientWidth, kClientHeight);
  // The standard dialog background (button face).
  setBackgroundRole(QPalette::Window);
  setAutoFillBackground(true);

  // 图片路径: multi-line, word-wrapped (long words break anywhere), vertical
  // scroll bar, black on white, Enter inserts a line break.
  path_box_ = new QPlainTextEdit(this);
  path_box_->setObjectName(QStringLiteral("图片路径"));
  path_box_->setGeometry(8, 8, 328, 32);
  path_box_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  path_box_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  path_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  path_box_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  path_box_->setFrameStyle(QFrame::Box | QFrame::Plain);
  path_box_->setLineWidth(1);
  {
    QPalette palette = path_box_->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    path_box_->setPalette(palette);
  }

  browse_button_ = new QPushButton(QStringLiteral("浏览"), this);
  browse_button_->setObjectName(QStringLiteral("浏览"));
  browse_button_->setGeometry(336, 8, 32, 32);
  go_button_ = new QPushButton(QStringLiteral("GO"), this);
  go_button_->setObjectName(QStringLiteral("GO"));
  go_button_->setGeometry(376, 8, 32, 32);
  // Enter has no window-level meaning: no default button.
  browse_button_->setAutoDefault(false);
  go_button_->setAutoDefault(false);

  // 预览: black, thin border, the picture centred.
  preview_box_ = new QLabel(this);
  preview_box_->setObjectName(QStringLiteral("预览"));
  preview_box_->setGeometry(8, 48, 400, 300);
  preview_box_->setFrameStyle(QFrame::Box | QFrame::Plain);
  preview_box_->setLineWidth(1);
  preview_box_->setAlignment(Qt::AlignCenter);
  preview_box_->setAutoFillBackground(true);
  {
    QPalette palette = preview_box_->palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, Qt::black);
    preview_box_->setPalette(palette);
  }

  // 结果: report list, three columns, grid lines, whole-row single
  // selection kept visible without focus, inert header, no editing/sorting.
  result_list_ = new QTableWidget(0, kColumns, this);
  result_list_->setObjectName(QStringLiteral("结果"));
  result_list_->setGeometry(416, 8, 490, 340);
  result_list_->setFrameStyle(QFrame::Box | QFrame::Plain);
  result_list_->setLineWidth(1);
  result_list_->setShowGrid(true);
  result_list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  result_list_->setSelectionMode(QAbstractItemView::SingleSelection);
  result_list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  result_list_->setSortingEnabled(false);
  result_list_->setMouseTracking(false);
  result_list_->setWordWrap(false);
  result_list_->setTextElideMode(Qt::ElideRight);
  result_list_->verticalHeader()->setVisible(false);
  result_list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  QHeaderView* header = result_list_->horizontalHeader();
  header->setVisible(true);
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setSortIndicatorShown(false);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  const char* titles[kColumns] = {"索引", "匹配度", "匹配内容"};
  const int widths[kColumns] = {40, 70, 355};
  for (int column = 0; column < kColumns; ++column) {
    auto* item = new QTableWidgetItem(QString::fromUtf8(titles[column]));
    item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    result_list_->setHorizontalHeaderItem(column, item);
    result_list_->setColumnWidth(column, widths[column]);
  }
  {
    // Black on white, and the selection drawn the same with or without focus.
    QPalette palette = result_list_->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText}) {
      palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    }
    result_list_->setPalette(palette);
  }
  result_list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(result_list_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint&) { OnResultListRightClick(); });

  // "匹配内容": never in a menu bar (there is none), only as the list's popup.
  popup_menu_ = new QMenu(QStringLiteral("匹配内容"), this);
  copy_line_action_ = popup_menu_->addAction(QStringLiteral("复制"));
  copy_all_action_ = popup_menu_->addAction(QStringLiteral("复制所有"));
  connect(copy_line_action_, &QAction::triggered, this, [this] { OnCopyLine(); });
  connect(copy_all_action_, &QAction::triggered, this, [this] { OnCopyAll(); });

  // 文件: Qt's own dialog, so it behaves the same on every desktop; an
  // existing file in an existing folder; no initial folder or name.
  file_dialog_ = new QFileDialog(this, QString::fromUtf8(kDialogTitle));
  file_dialog_->setOption(QFileDialog::DontUseNativeDialog, true);
  file_dialog_->setFileMode(QFileDialog::ExistingFile);
  file_dialog_->setAcceptMode(QFileDialog::AcceptOpen);
  QStringList filters;
  for (const char* filter : kDialogFilters) filters << QString::fromUtf8(filter);
  file_dialog_->setNameFilters(filters);

  connect(browse_button_, &QPushButton::clicked, this, [this] {
    if (on_browse_) on_browse_(*this);
  });
  connect(go_button_, &QPushButton::clicked, this, [this] {
    if (on_go_) on_go_(*this);
  });
  // Leaving the event loop any other way also releases waiting callers.
  if (QCoreApplication* app = QCoreApplication::instance()) {
    connect(app, &QCoreApplication::aboutToQuit, this, [this] { BeginClosing(); });
  }

  CenterOnScreen();
}

MainWindow::~MainWindow() { window_thread_.Close(); }

void MainWindow::CenterOnScreen() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

void MainWindow::BeginClosing() {
  window_thread_.Close();
  if (closing_hook_ran_) return;
  closing_hook_ran_ = true;
  if (on_closing_) on_closing_();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  BeginClosing();
  event->accept();
}

void MainWindow::SetStatus(const std::string& text) {
  window_thread_.Run([this, title = ui::FromAnsi(text)] { setWindowTitle(title); });
}

std::string MainWindow::PathText() {
  return window_thread_
      .Call([this] { return ui::ToAnsi(FromEditorText(path_box_->toPlainText())); })
      .value_or(std::string());
}

void MainWindow::SetPathText(const std::string& text) {
  window_thread_.Run(
      [this, value = ToEditorText(ui::FromAnsi(text))] { path_box_->setPlainText(value); });
}

void MainWindow::ShowPreview(const std::vector<std::uint8_t>& bytes) {
  // Decoding and scaling need no window: done on the caller's thread, so a
  // worker does not hold up the window's thread with them.
  const QSize box = QSize(400, 300) - QSize(2, 2);  // inside the 1-pixel border
  QImage picture = ui::FitPicture(ui::DecodePicture(bytes), box);
  window_thread_.Run([this, picture = std::move(picture)] {
    if (picture.isNull()) {
      preview_box_->clear();
    } else {
      preview_box_->setPixmap(QPixmap::fromImage(picture));
    }
  });
}

bool MainWindow::OpenFileDialog() {
  return window_thread_
      .Call([this] {
        file_dialog_->selectNameFilter(QString::fromUtf8(kDialogFilters[0]));
        if (file_dialog_->exec() != QDialog::Accepted) return false;
        const QStringList files = file_dialog_->selectedFiles();
        if (files.isEmpty()) return false;
        dialog_file_ = QFileInfo(files.first()).absoluteFilePath();
        return true;
      })
      .value_or(false);
}

std::string MainWindow::DialogFileName() {
  return window_thread_.Call([this] { return ui::ToAnsi(dialog_file_); }).value_or(std::string());
}

std::filesystem::path MainWindow::DialogFilePath() {
  return window_thread_
      .Call([this] {
        const QByteArray local = QFile::encodeName(dialog_file_);
        return std::filesystem::path(std::string(local.constData(), local.size()));
      })
      .value_or(std::filesystem::path());
}

void MainWindow::SetGoEnabled(bool enabled) {
  window_thread_.Run([this, enabled] { go_button_->setEnabled(enabled); });
}

void MainWindow::SetBrowseEnabled(bool enabled) {
  window_thread_.Run([this, enabled] { browse_button_->setEnabled(enabled); });
}

void MainWindow::ClearRows() {
  window_thread_.Run([this] {
    result_list_->clearSelection();
    result_list_->setRowCount(0);
  });
}

int MainWindow::AppendRow() {
  return window_thread_
      .Call([this] {
        const int row = result_list_->rowCount();
        if (row == std::numeric_limits<int>::max()) return -1;
        result_list_->insertRow(row);
        if (result_list_->rowCount() != row + 1) return -1;
        for (int column = 0; column < kColumns; ++column) {
          auto* item = new QTableWidgetItem(QString());
          item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
          result_list_->setItem(row, column, item);
        }
        return row;
      })
      .value_or(-1);
}

void MainWindow::SetCell(int row, int column, const std::string& text) {
  window_thread_.Post([this, row, column, value = ui::FromAnsi(text)] {
    if (row < 0 || row >= result_list_->rowCount() || column < 0 || column >= kColumns) return;
    QTableWidgetItem* item = result_list_->item(row, column);
    if (item == nullptr) {
      item = new QTableWidgetItem;
      item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
      result_list_->setItem(row, column, item);
    }
    item->setText(value);
  });
}

std::string MainWindow::Cell(int row, int column) {
  return window_thread_
      .Call([this, row, column] {
        if (row < 0 || row >= result_list_->rowCount() || column < 0 || column >= kColumns) {
          return std::string();
        }
        const QTableWidgetItem* item = result_list_->item(row, column);
        return item == nullptr ? std::string() : ui::ToAnsi(item->text());
      })
      .value_or(std::string());
}

int MainWindow::SelectedRow() {
  return window_thread_
      .Call([this] {
        const QModelIndexList rows = result_list_->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
      })
      .value_or(-1);
}

void MainWindow::OnResultListRightClick() {
  if (SelectedRow() < 0) return;
  popup_menu_->popup(QCursor::pos());
}

void MainWindow::OnCopyLine() { ui::SetClipboardText(Cell(SelectedRow(), 2)); }

void MainWindow::OnCopyAll() { ui::SetClipboardText(AllResultsText.Get()); }

}  // namespace textrill
