// The main window on Qt's offscreen platform: layout, texts, list styles,
// caption, popup menu, clipboard commands, preview and file dialog.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/main_window.h"
#include "ui/clipboard.h"
#include "ui/text.h"

namespace textrill {
namespace {

// 中文 and 匹配 in code page 936.
const std::string kChinese = "\xD6\xD0\xCE\xC4";
const std::string kMatch = "\xC6\xA5\xC5\xE4";

std::string Ansi(const char* utf8) { return ui::ToAnsi(QString::fromUtf8(utf8)); }

std::vector<std::uint8_t> PictureBytes(int width, int height, const char* format) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return std::vector<std::uint8_t>(data.begin(), data.end());
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AllResultsText.Set("");
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
  }
  void TearDown() override { window_.PopupMenu()->hide(); }

  // Presses and releases the right button over `row` of 结果 through the
  // window system, as a user's click arrives.
  void RightClickRow(int row) {
    QTableWidget* list = window_.ResultList();
    const QRect cell = list->visualRect(list->model()->index(row, 1));
    const QPoint at =
        list->viewport()->mapTo(&window_, cell.isValid() ? cell.center() : QPoint(200, 300));
    QTest::mousePress(window_.windowHandle(), Qt::RightButton, {}, at);
    QTest::mouseRelease(window_.windowHandle(), Qt::RightButton, {}, at);
    QApplication::processEvents();
  }

  void AddRows(int count) {
    for (int i = 0; i < count; ++i) {
      const int row = window_.AppendRow();
      ASSERT_EQ(row, i);
      window_.SetCell(row, 0, std::to_string(row + 1));
      window_.SetCell(row, 1, "0.9" + std::to_string(row));
      window_.SetCell(row, 2, kChinese + "/" + std::to_string(row));
    }
  }

  MainWindow window_;
};

TEST_F(WindowTest, FrameIsFixedWithMinimiseButNoMaximiseAndNoMenuBar) {
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("Textrill - Marrowby"));
  EXPECT_EQ(window_.size(), QSize(914, 356));
  EXPECT_EQ(window_.minimumSize(), QSize(914, 356));
  EXPECT_EQ(window_.maximumSize(), QSize(914, 356));
  const Qt::WindowFlags flags = window_.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(window_.findChildren<QMenuBar*>().isEmpty());
  EXPECT_EQ(window_.backgroundRole(), QPalette::Window);
  EXPECT_FALSE(window_.PopupMenu()->isVisible());
  EXPECT_EQ(window_.PopupMenu()->title(), QStringLiteral("匹配内容"));
  const auto actions = window_.PopupMenu()->actions();
  ASSERT_EQ(actions.size(), 2);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("复制"));
  EXPECT_EQ(actions[1]->text(), QStringLiteral("复制所有"));
}

TEST_F(WindowTest, WindowIsCentredOnTheScreen) {
  const QRect screen = window_.screen()->availableGeometry();
  const QPoint centre = window_.geometry().center();
  EXPECT_LE(std::abs(centre.x() - screen.center().x()), 1);
  EXPECT_LE(std::abs(centre.y() - screen.center().y()), 1);
}

TEST_F(WindowTest, ControlsStandAtTheirPositionsWithTheirTexts) {
  struct Case {
    QWidget* widget;
    const char* name;
    QRect geometry;
  };
  const Case cases[] = {
      {window_.PathBox(), "图片路径", QRect(8, 8, 328, 32)},
      {window_.BrowseButton(), "浏览", QRect(336, 8, 32, 32)},
      {window_.GoButton(), "GO", QRect(376, 8, 32, 32)},
      {window_.PreviewBox(), "预览", QRect(8, 48, 400, 300)},
      {window_.ResultList(), "结果", QRect(416, 8, 490, 340)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.widget->objectName(), QString::fromUtf8(c.name));
    EXPECT_EQ(c.widget->parentWidget(), &window_);
    EXPECT_EQ(c.widget->geometry(), c.geometry);
    EXPECT_TRUE(c.widget->isVisible());
    EXPECT_TRUE(c.widget->isEnabled());
  }
  EXPECT_EQ(window_.BrowseButton()->text(), QStringLiteral("浏览"));
  EXPECT_EQ(window_.GoButton()->text(), QStringLiteral("GO"));
  EXPECT_FALSE(window_.BrowseButton()->autoDefault());
  EXPECT_FALSE(window_.GoButton()->autoDefault());
  EXPECT_EQ(window_.PathText(), "");
  EXPECT_TRUE(window_.PreviewBox()->pixmap().isNull());
  EXPECT_EQ(window_.ResultList()->rowCount(), 0);
  EXPECT_EQ(window_.SelectedRow(), -1);
}

TEST_F(WindowTest, PathBoxWrapsScrollsAndTakesEnterAsLineBreak) {
  QPlainTextEdit* box = window_.PathBox();
  EXPECT_EQ(box->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(box->wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);
  EXPECT_EQ(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_FALSE(box->isReadOnly());
  EXPECT_EQ(box->palette().color(QPalette::Base), QColor(Qt::white));
  EXPECT_EQ(box->palette().color(QPalette::Text), QColor(Qt::black));

  box->setFocus();
  QTest::keyClicks(box, "a");
  QTest::keyClick(box, Qt::Key_Return);
  QTest::keyClicks(box, "b");
  EXPECT_EQ(window_.PathText(), "a\r\nb");

  // A long path without spaces wraps onto further lines.
  const std::string long_path = std::string(200, 'x') + "/" + kChinese + ".png";
  window_.SetPathText(long_path);
  EXPECT_EQ(window_.PathText(), long_path);
  QApplication::processEvents();
  EXPECT_GT(box->verticalScrollBar()->maximum(), 0);
  window_.SetPathText("c:\r\nd");
  EXPECT_EQ(window_.PathText(), "c:\r\nd");
}

TEST_F(WindowTest, EnterAndEscapeHaveNoWindowLevelMeaning) {
  int go_clicks = 0;
  window_.SetGoHandler([&](Controls&) { ++go_clicks; });
  window_.GoButton()->setFocus();
  QTest::keyClick(&window_, Qt::Key_Escape);
  QTest::keyClick(window_.ResultList(), Qt::Key_Escape);
  QTest::keyClick(window_.PreviewBox(), Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.IsClosing());
  EXPECT_EQ(go_clicks, 0);
  QTest::mouseClick(window_.GoButton(), Qt::LeftButton);
  EXPECT_EQ(go_clicks, 1);
}

TEST_F(WindowTest, ButtonsRunTheirHandlersWithTheWindowsControls) {
  Controls* seen = nullptr;
  int browse = 0;
  window_.SetBrowseHandler([&](Controls& controls) {
    ++browse;
    seen = &controls;
    // Control operations from a handler run at once on the window's thread.
    controls.SetStatus(kChinese);
    controls.SetGoEnabled(false);
  });
  QTest::mouseClick(window_.BrowseButton(), Qt::LeftButton);
  EXPECT_EQ(browse, 1);
  EXPECT_EQ(seen, static_cast<Controls*>(&window_));
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("中文"));
  EXPECT_FALSE(window_.GoButton()->isEnabled());
  window_.SetGoEnabled(true);
  EXPECT_TRUE(window_.GoButton()->isEnabled());
  window_.SetBrowseEnabled(false);
  EXPECT_FALSE(window_.BrowseButton()->isEnabled());
  window_.SetBrowseEnabled(true);
  EXPECT_TRUE(window_.BrowseButton()->isEnabled());
}

TEST_F(WindowTest, ResultListHasItsColumnsAndStyles) {
  QTableWidget* list = window_.ResultList();
  ASSERT_EQ(list->columnCount(), 3);
  const char* titles[] = {"索引", "匹配度", "匹配内容"};
  const int widths[] = {40, 70, 355};
  for (int column = 0; column < 3; ++column) {
    SCOPED_TRACE(column);
    EXPECT_EQ(list->horizontalHeaderItem(column)->text(), QString::fromUtf8(titles[column]));
    EXPECT_EQ(list->columnWidth(column), widths[column]);
    EXPECT_EQ(list->horizontalHeaderItem(column)->textAlignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignLeft);
  }
  EXPECT_TRUE(list->horizontalHeader()->isVisible());
  EXPECT_FALSE(list->horizontalHeader()->sectionsClickable());
  EXPECT_FALSE(list->verticalHeader()->isVisible());
  EXPECT_TRUE(list->showGrid());
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(list->isSortingEnabled());
  EXPECT_FALSE(list->hasMouseTracking());
  const QPalette palette = list->palette();
  EXPECT_EQ(palette.color(QPalette::Base), QColor(Qt::white));
  EXPECT_EQ(palette.color(QPalette::Text), QColor(Qt::black));
  EXPECT_EQ(palette.color(QPalette::Inactive, QPalette::Highlight),
            palette.color(QPalette::Active, QPalette::Highlight));

  // A click on the header neither sorts nor selects.
  AddRows(3);
  const QPoint header_at(list->horizontalHeader()->sectionPosition(1) + 5, 5);
  QTest::mouseClick(list->horizontalHeader()->viewport(), Qt::LeftButton, {}, header_at);
  EXPECT_EQ(window_.SelectedRow(), -1);
  EXPECT_EQ(window_.Cell(0, 0), "1");
  // Double clicking a cell does not edit it.
  const QRect cell = list->visualRect(list->model()->index(1, 2));
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_TRUE(list->viewport()->findChildren<QLineEdit*>().isEmpty());
  EXPECT_EQ(window_.SelectedRow(), 1);
  // Selecting another row replaces the selection: one row at most.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier,
                    list->visualRect(list->model()->index(2, 0)).center());
  EXPECT_EQ(list->selectionModel()->selectedRows().size(), 1);
  EXPECT_EQ(window_.SelectedRow(), 2);
}

TEST_F(WindowTest, ListOperationsAppendSetReadAndClear) {
  EXPECT_EQ(window_.AppendRow(), 0);
  EXPECT_EQ(window_.AppendRow(), 1);
  EXPECT_EQ(window_.Cell(1, 2), "");
  window_.SetCell(1, 2, kChinese);
  window_.SetCell(1, 0, "2");
  EXPECT_EQ(window_.Cell(1, 2), kChinese);
  EXPECT_EQ(window_.ResultList()->item(1, 2)->text(), QStringLiteral("中文"));
  EXPECT_EQ(window_.Cell(1, 0), "2");
  // Cells out of range: reads give "", writes do nothing.
  for (const auto& [row, column] :
       std::vector<std::pair<int, int>>{{-1, 0}, {2, 0}, {0, -1}, {0, 3}, {1000000, 2}}) {
    window_.SetCell(row, column, "x");
    EXPECT_EQ(window_.Cell(row, column), "") << row << "," << column;
  }
  EXPECT_EQ(window_.ResultList()->rowCount(), 2);
  window_.ResultList()->selectRow(1);
  EXPECT_EQ(window_.SelectedRow(), 1);
  window_.ClearRows();
  EXPECT_EQ(window_.ResultList()->rowCount(), 0);
  EXPECT_EQ(window_.SelectedRow(), -1);
  EXPECT_EQ(window_.AppendRow(), 0);
}

TEST_F(WindowTest, CaptionShowsTheLastStatus) {
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("Textrill - Marrowby"));
  window_.SetStatus(Ansi("正在尝试识别..."));
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("正在尝试识别..."));
  window_.SetStatus(Ansi("检测到[3]行文本 耗时[15ms]"));
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("检测到[3]行文本 耗时[15ms]"));
  window_.SetStatus("");
  EXPECT_EQ(window_.windowTitle(), QString());
  QApplication::processEvents();
  EXPECT_EQ(window_.windowTitle(), QString());
}

TEST_F(WindowTest, RightClickWithoutSelectedRowShowsNoMenu) {
  RightClickRow(0);  // empty list
  EXPECT_FALSE(window_.PopupMenu()->isVisible());
  AddRows(2);
  // Below the last row: nothing is selected, so no menu either.
  RightClickRow(5);
  EXPECT_EQ(window_.SelectedRow(), -1);
  EXPECT_FALSE(window_.PopupMenu()->isVisible());
}

TEST_F(WindowTest, RightClickOnARowSelectsItAndShowsTheMenuAtTheCursor) {
  AddRows(3);
  RightClickRow(1);
  EXPECT_EQ(window_.SelectedRow(), 1);
  ASSERT_TRUE(window_.PopupMenu()->isVisible());
  EXPECT_LE((window_.PopupMenu()->pos() - QCursor::pos()).manhattanLength(), 2);
  // A selected row stays the target when the click lands below the rows.
  window_.PopupMenu()->hide();
  RightClickRow(7);
  EXPECT_EQ(window_.SelectedRow(), 1);
  EXPECT_TRUE(window_.PopupMenu()->isVisible());
}

TEST_F(WindowTest, CopyAllBeforeAnyRecognitionStoresAnEmptyText) {
  QGuiApplication::clipboard()->setText(QStringLiteral("earlier content"));
  window_.CopyAllAction()->trigger();
  EXPECT_EQ(ui::ClipboardText(), "");
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
  EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->hasText());
}

TEST_F(WindowTest, CopyLineAndCopyAllPutChineseTextOnTheClipboard) {
  AddRows(2);
  window_.SetCell(1, 2, Ansi("a/b 匹配内容"));
  AllResultsText.Set(kChinese + "\r\n" + Ansi("a\\/b 匹配内容") + "\r\n");
  window_.ResultList()->selectRow(1);

  window_.CopyLineAction()->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("a/b 匹配内容"));
  EXPECT_EQ(ui::ClipboardText(), Ansi("a/b 匹配内容"));

  window_.CopyAllAction()->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("中文\r\na\\/b 匹配内容\r\n"));

  // "复制" with the selection gone (the list was emptied meanwhile) stores "".
  window_.ClearRows();
  window_.OnCopyLine();
  EXPECT_EQ(ui::ClipboardText(), "");
  EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->hasText());
}

TEST_F(WindowTest, PreviewShowsPicturesAtOwnSizeOrScaledDownCentred) {
  QLabel* box = window_.PreviewBox();
  EXPECT_EQ(box->alignment(), Qt::AlignCenter);
  EXPECT_EQ(box->frameShape(), QFrame::Box);
  EXPECT_EQ(box->lineWidth(), 1);
  EXPECT_EQ(box->palette().color(QPalette::Window), QColor(Qt::black));
  EXPECT_TRUE(box->autoFillBackground());
  EXPECT_EQ(box->contentsRect().size(), QSize(398, 298));

  struct Case {
    int width, height;
    const char* format;
    QSize shown;
  };
  const Case cases[] = {
      {100, 50, "PNG", QSize(100, 50)},     {398, 298, "BMP", QSize(398, 298)},
      {800, 300, "PNG", QSize(398, 149)},   {300, 900, "JPEG", QSize(99, 298)},
      {1000, 1000, "BMP", QSize(298, 298)}, {1, 1, "JPEG", QSize(1, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.format);
    window_.ShowPreview(PictureBytes(c.width, c.height, c.format));
    EXPECT_EQ(box->pixmap().size(), c.shown);
  }
  // Bytes that do not decode (a valid signature, then rubbish) leave it empty.
  window_.ShowPreview({0x89, 'P', 'N', 'G', 1, 2, 3});
  EXPECT_TRUE(box->pixmap().isNull());
  window_.ShowPreview(PictureBytes(10, 10, "PNG"));
  window_.ShowPreview({});
  EXPECT_TRUE(box->pixmap().isNull());
}

TEST_F(WindowTest, FileDialogHasItsTitleFiltersAndModes) {
  QFileDialog* dialog = window_.FileDialog();
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("请选择本地文件或输入网络文件地址"));
  EXPECT_EQ(dialog->nameFilters(), QStringList({"PNG(*.png)", "BMP(*.bmp)", "JPEG(*.jpg *.jpeg)"}));
  EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(WindowTest, FileDialogYieldsTheChosenFileOrNothingWhenCancelled) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString name = dir.filePath(QStringLiteral("图片.png"));
  {
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
  }
  QString filter_when_open;
  // Answers the dialog once it is open, as a user would (gives up after 20 s).
  auto answer = [&](bool accept) {
    auto* poll = new QTimer(&window_);
    auto* deadline = new QElapsedTimer;
    deadline->start();
    QObject::connect(poll, &QTimer::timeout, [&, poll, deadline, accept] {
      QFileDialog* dialog = window_.FileDialog();
      const bool give_up = deadline->elapsed() > 20000;
      if (!dialog->isVisible() && !give_up) return;
      poll->stop();
      poll->deleteLater();
      delete deadline;
      filter_when_open = dialog->selectedNameFilter();
      if (accept && !give_up) {
        // The user types the full path into the file name box.
        auto* name_box = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name_box != nullptr) name_box->setText(name);
        static_cast<QDialog*>(dialog)->accept();  // QFileDialog's checks run
      } else {
        dialog->reject();
      }
    });
    poll->start(10);
  };
  answer(false);
  EXPECT_FALSE(window_.OpenFileDialog());
  EXPECT_EQ(filter_when_open, QStringLiteral("PNG(*.png)"));

  window_.FileDialog()->selectNameFilter(QStringLiteral("BMP(*.bmp)"));
  answer(true);
  ASSERT_TRUE(window_.OpenFileDialog());
  EXPECT_EQ(filter_when_open, QStringLiteral("PNG(*.png)"));
  EXPECT_EQ(window_.DialogFileName(), ui::ToAnsi(name));
  EXPECT_NE(window_.DialogFileName().find("\xCD\xBC\xC6\xAC.png"), std::string::npos);  // 图片
  EXPECT_EQ(window_.DialogFilePath(), std::filesystem::path(name.toStdString()));
  EXPECT_TRUE(std::filesystem::exists(window_.DialogFilePath()));
}

TEST_F(WindowTest, ClosingMarksTheWindowBeforeTheHookRuns) {
  bool closing_in_hook = false;
  int status_in_hook = 0;
  int hook_runs = 0;
  window_.SetClosingHook([&] {
    ++hook_runs;
    closing_in_hook = window_.IsClosing();
    status_in_hook = window_.AppendRow();
  });
  window_.SetStatus("before");
  window_.close();
  EXPECT_EQ(hook_runs, 1);
  EXPECT_TRUE(closing_in_hook);
  EXPECT_EQ(status_in_hook, -1);
  // After closing every operation returns at once without effect.
  window_.SetStatus("after");
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("before"));
  EXPECT_EQ(window_.AppendRow(), -1);
  EXPECT_EQ(window_.ResultList()->rowCount(), 0);
  EXPECT_EQ(window_.PathText(), "");
  EXPECT_FALSE(window_.OpenFileDialog());
  window_.close();
  EXPECT_EQ(hook_runs, 1);
}

}  // namespace
}  // namespace textrill
