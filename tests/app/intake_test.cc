// Picture intake against the fake window: the file dialog, the path box (local
// files and downloads from a local server), the checks and their captions,
// and what an accepted picture sends to the service.
#include "app/intake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "app/recognition_job.h"
#include "app/status_texts.h"
#include "app_fixture.h"
#include "encoding/base64.h"
#include "encoding/url_encoding.h"
#include "test_support.h"

namespace textrill {
namespace {

using testing::AppTest;
using testing::Gbk;
using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

using IntakeTest = AppTest;

TEST_F(IntakeTest, CancelledDialogOnlyEmptiesThePathBox) {
  controls_.SetPathText("/some/earlier/path.png");
  ImageBytes = {1, 2, 3};
  ImageFormat = "bmp";
  OnBrowse(controls_);
  EXPECT_EQ(controls_.PathText(), "");
  EXPECT_TRUE(controls_.Statuses().empty());
  EXPECT_EQ(ImageBytes, Bytes({1, 2, 3}));
  EXPECT_EQ(ImageFormat, "bmp");
  EXPECT_EQ(controls_.Previews(), 0);
}

TEST_F(IntakeTest, ChosenFileIsReadThroughTheDialogsPath) {
  // A name with a character code page 936 lacks: the box shows "?", but the
  // file is still read.
  const auto path = WriteFile("\xF0\x9F\x98\x80 shot.png", "\x89PNG rest");
  controls_.ChooseInDialog("? shot.png", path);
  OnBrowse(controls_);
  WaitForRecognition();
  EXPECT_EQ(controls_.PathText(), "? shot.png");
  EXPECT_EQ(ImageBytes, ToBytes("\x89PNG rest"));
  EXPECT_EQ(ImageFormat, "png");
  ASSERT_GE(controls_.Statuses().size(), 2u);
  EXPECT_EQ(controls_.Statuses()[0], status::kRecognizing);
  EXPECT_EQ(service_.Bodies().size(), 1u);
}

TEST_F(IntakeTest, ChecksTheBytesOfTheFile) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string caption;  // the caption right after the handler
    std::string format;   // ImageFormat afterwards ("" when rejected)
  };
  std::string largest(4194303, 'x');
  largest[0] = '\x89';
  largest[1] = 'P';
  std::string too_large = largest + "x";
  const std::vector<Case> cases = {
      {"empty file", "", status::kReadFailed, ""},
      {"one byte", "\x89", status::kUnsupportedFormat, ""},
      {"gif", "GIF89a", status::kUnsupportedFormat, ""},
      {"reversed png signature", "P\x89", status::kUnsupportedFormat, ""},
      {"BM alone", "BM", status::kRecognizing, "bmp"},
      {"BM and anything", "BM not really a bitmap \x01\x02", status::kRecognizing, "bmp"},
      {"jpeg", "\xFF\xD8\xFF\xE0", status::kRecognizing, "jpeg"},
      {"largest accepted size", largest, status::kRecognizing, "png"},
      {"one byte too many", too_large, status::kTooLarge, ""},
  };
  for (const Case& c : cases) {
    ImageFormat.clear();
    testing::FakeControls controls;
    controls.SetPathText(WriteFile("picture", c.bytes).string());
    OnGo(controls);
    const std::vector<std::string> statuses = controls.Statuses();
    ASSERT_FALSE(statuses.empty()) << c.name;
    EXPECT_EQ(statuses[0], c.caption) << c.name;
    WaitForRecognition();
    EXPECT_EQ(ImageFormat, c.format) << c.name;
    EXPECT_EQ(ImageBytes.size(), std::min<std::size_t>(c.bytes.size(), kPictureSizeLimit))
        << c.name;
    EXPECT_EQ(ImageSignature.size(), c.bytes.empty() || c.bytes.size() >= kPictureSizeLimit
                                         ? 0u
                                         : std::min<std::size_t>(2, c.bytes.size()))
        << c.name;
    ImageSignature.clear();
    EXPECT_EQ(controls.Previews(), c.format.empty() ? 0 : 1) << c.name;
    EXPECT_TRUE(controls.GoEnabled()) << c.name;
    EXPECT_TRUE(controls.BrowseEnabled()) << c.name;
  }
}

TEST_F(IntakeTest, PathTextIsUsedUnchanged) {
  const auto path = WriteFile("a.png", "\x89PNG");
  WriteFile("图片.png", "\x89PNG");  // named in UTF-8 on disk
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  struct Case {
    std::string text;
    std::string caption;
  };
  const std::vector<Case> cases = {
      {"", status::kReadFailed},
      {"a.png\r\n", status::kReadFailed},
      {path.string() + "\r\n", status::kReadFailed},
      {" a.png", status::kReadFailed},
      {"missing.png", status::kReadFailed},
      {"a.png", status::kRecognizing},        // relative to the current folder
      {path.string(), status::kRecognizing},  // an absolute path is a file, not an address
      {dir_.string() + "/./a.png", status::kRecognizing},
      {Gbk("图片.png"), status::kRecognizing},  // the box holds code page 936 text
  };
  for (const Case& c : cases) {
    testing::FakeControls controls;
    controls.SetPathText(c.text);
    OnGo(controls);
    WaitForRecognition();
    ASSERT_FALSE(controls.Statuses().empty()) << c.text;
    EXPECT_EQ(controls.Statuses()[0], c.caption) << c.text;
    EXPECT_EQ(controls.PathText(), c.text);
  }
  std::filesystem::current_path(previous);
}

TEST_F(IntakeTest, RejectedPictureKeepsPreviewListAndEncoding) {
  controls_.SetPathText(WriteFile("good.bmp", "BM good").string());
  OnGo(controls_);
  WaitForRecognition();
  ASSERT_EQ(ImageFormat, "bmp");
  const std::string encoded = EncodedImage;
  controls_.AddRow({"1", "0.9", "kept"});

  controls_.SetPathText(WriteFile("bad.gif", "GIF89a").string());
  OnGo(controls_);
  EXPECT_EQ(controls_.Caption(), status::kUnsupportedFormat);
  EXPECT_EQ(controls_.Previews(), 1);
  EXPECT_EQ(controls_.Preview(), ToBytes("BM good"));
  EXPECT_EQ(controls_.Rows().size(), 1u);
  EXPECT_EQ(ImageFormat, "bmp");
  EXPECT_EQ(EncodedImage, encoded);
  EXPECT_EQ(ImageBytes, ToBytes("GIF89a"));
  EXPECT_EQ(ImageSignature, ToBytes("GI"));
}

TEST_F(IntakeTest, DownloadsAnAddress) {
  service_.PutFile("/pictures/cat.png", "\x89PNG downloaded", "image/png");
  service_.PutFile("/pictures/error.png", "<html>Server Error</html>", "text/html", 500);
  struct Case {
    std::string address;
    std::string caption;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {service_.Url("/pictures/cat.png"), status::kRecognizing, "\x89PNG downloaded"},
      {service_.Url("/pictures/missing.png"), status::kUnsupportedFormat,
       "<html><body>Not Found</body></html>"},
      {service_.Url("/pictures/error.png"), status::kUnsupportedFormat,
       "<html>Server Error</html>"},
      {"http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/cat.png",
       status::kReadFailed, ""},
  };
  for (const Case& c : cases) {
    testing::FakeControls controls;
    controls.SetPathText(c.address);
    OnGo(controls);
    WaitForRecognition();
    ASSERT_FALSE(controls.Statuses().empty()) << c.address;
    EXPECT_EQ(controls.Statuses()[0], c.caption) << c.address;
    EXPECT_EQ(ImageBytes, ToBytes(c.bytes)) << c.address;
  }
  EXPECT_EQ(service_.Bodies().size(), 1u);
}

TEST_F(IntakeTest, FourBytePngIsPostedAsTheDocumentedBody) {
  controls_.SetPathText(WriteFile("tiny.png", "\x89PNG").string());
  OnGo(controls_);
  WaitForRecognition();
  ASSERT_EQ(service_.Bodies().size(), 1u);
  EXPECT_EQ(EncodedImage, "iVBORw%3D%3D");
  EXPECT_EQ(service_.Bodies()[0],
            "type=webimage&image=data%3Aimage%2Fpng%3Bbase64%2CiVBORw%3D%3D&image_url=");
}

TEST_F(IntakeTest, LargestPictureIsPostedWhole) {
  std::string largest(kPictureSizeLimit - 1, '\0');
  for (std::size_t k = 0; k < largest.size(); ++k) largest[k] = static_cast<char>(k * 131 % 251);
  largest[0] = '\x89';
  largest[1] = 'P';
  controls_.SetPathText(WriteFile("largest.png", largest).string());
  OnGo(controls_);
  WaitForRecognition();
  ASSERT_EQ(service_.Bodies().size(), 1u) << controls_.Caption();
  EXPECT_TRUE(service_.Bodies()[0] ==
              BuildRequestBody("png", FormUrlEncode(Base64Encode(ToBytes(largest)))));
  EXPECT_EQ(testing::MaskMilliseconds(controls_.Caption()),
            std::string(status::kNoText) + status::kElapsed + "Nms]" + status::kWithTransfer);
}

TEST_F(IntakeTest, JpegIsPostedWithTheWordJpeg) {
  controls_.SetPathText(WriteFile("photo.jpg", "\xFF\xD8\xFF").string());
  OnGo(controls_);
  WaitForRecognition();
  ASSERT_EQ(service_.Bodies().size(), 1u);
  EXPECT_EQ(service_.Bodies()[0],
            "type=webimage&image=data%3Aimage%2Fjpeg%3Bbase64%2C%2F9j%2F&image_url=");
}

// Threading: while the job runs, 浏览 and GO are disabled and a handler called
// anyway does nothing; both buttons come back when the job ends.
TEST_F(IntakeTest, ButtonsAreDisabledWhileAJobRuns) {
  service_.Hold();
  controls_.SetPathText(WriteFile("first.png", "\x89P first").string());
  OnGo(controls_);
  ASSERT_TRUE(service_.WaitForPosts(1));
  EXPECT_TRUE(RecognitionRunning());
  EXPECT_FALSE(controls_.GoEnabled());
  EXPECT_FALSE(controls_.BrowseEnabled());
  EXPECT_EQ(controls_.Caption(), status::kRecognizing);

  controls_.SetPathText(WriteFile("second.png", "\x89P second").string());
  OnGo(controls_);
  controls_.ChooseInDialog("second.png", dir_ / "second.png");
  OnBrowse(controls_);
  EXPECT_EQ(ImageBytes, ToBytes("\x89P first"));

  service_.Release();
  WaitForRecognition();
  EXPECT_FALSE(RecognitionRunning());
  EXPECT_TRUE(controls_.GoEnabled());
  EXPECT_TRUE(controls_.BrowseEnabled());
  EXPECT_NE(controls_.Caption(), status::kRecognizing);
  EXPECT_EQ(service_.Bodies().size(), 1u);
}

}  // namespace
}  // namespace textrill
