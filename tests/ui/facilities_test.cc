// The window-free facilities of textrill_ui: texts, picture fitting and
// decoding.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <string>
#include <vector>

#include "ui/picture.h"
#include "ui/text.h"

namespace textrill::ui {
namespace {

TEST(TextTest, ConvertsBetweenCodePage936AndQt) {
  struct Case {
    std::string ansi;
    QString qt;
  };
  const Case cases[] = {
      {"", QString()},
      {"Textrill - Marrowby", QStringLiteral("Textrill - Marrowby")},
      {"\xD6\xD0\xCE\xC4", QStringLiteral("中文")},
      {"a\r\n\xC6\xA5\xC5\xE4\xC4\xDA\xC8\xDD", QStringLiteral("a\r\n匹配内容")},
      {"\x80", QStringLiteral("€")},  // code page 936's euro sign
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ansi);
    EXPECT_EQ(FromAnsi(c.ansi), c.qt);
    EXPECT_EQ(ToAnsi(c.qt), c.ansi);
  }
  // Text ends at its first zero byte; characters code page 936 lacks, and
  // bytes that are not code page 936, become "?".
  EXPECT_EQ(FromAnsi(std::string("ab\0cd", 5)), QStringLiteral("ab"));
  EXPECT_EQ(ToAnsi(QStringLiteral("a😀b")).find_first_not_of("a?b"), std::string::npos);
  EXPECT_EQ(FromAnsi("\xFF"), QStringLiteral("?"));
}

TEST(PictureTest, FitIntoKeepsOwnSizeOrScalesDownKeepingProportions) {
  struct Case {
    QSize picture, box, fitted;
  };
  const Case cases[] = {
      {{100, 50}, {398, 298}, {100, 50}},
      {{398, 298}, {398, 298}, {398, 298}},
      {{399, 298}, {398, 298}, {398, 297}},
      {{800, 300}, {398, 298}, {398, 149}},
      {{300, 900}, {398, 298}, {99, 298}},
      {{100000, 1}, {398, 298}, {398, 1}},
      {{1, 100000}, {398, 298}, {1, 298}},
      {{0, 10}, {398, 298}, {}},
      {{10, 10}, {0, 0}, {}},
      {{2147483647, 2147483647}, {398, 298}, {298, 298}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.picture.width() << "x" << c.picture.height());
    EXPECT_EQ(FitInto(c.picture, c.box), c.fitted);
  }
}

TEST(PictureTest, DecodesPngBmpAndJpegByContentAndRefusesTheRest) {
  for (const char* format : {"PNG", "BMP", "JPEG"}) {
    SCOPED_TRACE(format);
    QImage image(7, 5, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray data;
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
    ASSERT_TRUE(image.save(&buffer, format));
    const std::vector<std::uint8_t> bytes(data.begin(), data.end());
    EXPECT_EQ(DecodePicture(bytes).size(), QSize(7, 5));
    // Cut short: not a picture any more (or at most a partial one, never a crash).
    const std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + 2);
    EXPECT_TRUE(DecodePicture(head).isNull());
  }
  EXPECT_TRUE(DecodePicture({}).isNull());
  const std::vector<std::uint8_t> html = {'<', 'h', 't', 'm', 'l', '>'};
  EXPECT_TRUE(DecodePicture(html).isNull());
  // A BMP header announcing an absurd size is refused, not allocated.
  std::vector<std::uint8_t> huge_bmp = {'B',  'M',  0x3E, 0,    0,    0,    0, 0, 0,    0,
                                        0x3E, 0,    0,    0,    40,   0,    0, 0, 0xFF, 0xFF,
                                        0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 24,   0};
  huge_bmp.resize(0x3E + 16, 0);
  EXPECT_TRUE(DecodePicture(huge_bmp).isNull());
  EXPECT_TRUE(FitPicture(QImage(), {398, 298}).isNull());
}

}  // namespace
}  // namespace textrill::ui
