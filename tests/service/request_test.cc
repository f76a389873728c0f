#include "service/request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace textrill::service {
namespace {

using E = ServiceError;

TEST(FormField, DecodesTheNamedField) {
  struct Case {
    const char* body;
    const char* name;
    ServiceError error;
    const char* value;
  } cases[] = {
      {"type=webimage&image=abc&image_url=", "image", E::kNone, "abc"},
      {"type=webimage&image=abc&image_url=", "image_url", E::kNone, ""},
      {"image=a%2Bb+c%3d%3D", "image", E::kNone, "a+b c=="},
      {"a=1&&image=x&", "image", E::kNone, "x"},  // empty pairs are tolerated
      {"image=first&image=second", "image", E::kNone, "first"},
      {"im%61ge=x", "image", E::kNone, "x"},  // the name is decoded too
      {"type=webimage", "image", E::kMissingImage, ""},
      {"", "image", E::kNotAForm, ""},
      {"hello", "image", E::kNotAForm, ""},       // a pair without "="
      {"=x&image=y", "image", E::kNotAForm, ""},  // an empty name
      {"image=%zz", "image", E::kNotAForm, ""},
      {"image=ab%4", "image", E::kNotAForm, ""},        // a cut escape
      {"image=ok&other=%", "image", E::kNotAForm, ""},  // broken anywhere in the body
  };
  for (const Case& c : cases) {
    std::string value = "stale";
    EXPECT_EQ(FormField(c.body, c.name, value), c.error) << c.body;
    EXPECT_EQ(value, c.value) << c.body;
  }
}

TEST(ParseDataUrl, AcceptsTheThreePictureTypes) {
  struct Case {
    const char* url;
    ServiceError error;
    const char* format;
    const char* data;
  } cases[] = {
      {"data:image/png;base64,iVBORw==", E::kNone, "png", "iVBORw=="},
      {"data:image/bmp;base64,Qk0=", E::kNone, "bmp", "Qk0="},
      {"data:image/jpeg;base64,", E::kNone, "jpeg", ""},
      {"data:image/gif;base64,R0lG", E::kUnsupportedType, "", ""},
      {"data:image/jpg;base64,AAAA", E::kUnsupportedType, "", ""},
      {"data:image/PNG;base64,AAAA", E::kUnsupportedType, "", ""},
      {"data:image/;base64,AAAA", E::kBadDataUrl, "", ""},
      {"data:image/png,AAAA", E::kBadDataUrl, "", ""},
      {"data:image/png;charset=x;base64,AAAA", E::kBadDataUrl, "", ""},
      {"data:text/plain;base64,AAAA", E::kBadDataUrl, "", ""},
      {"http://example.com/a.png", E::kBadDataUrl, "", ""},
      {"", E::kBadDataUrl, "", ""},
  };
  for (const Case& c : cases) {
    std::string_view format, data;
    EXPECT_EQ(ParseDataUrl(c.url, format, data), c.error) << c.url;
    EXPECT_EQ(format, c.format) << c.url;
    EXPECT_EQ(data, c.data) << c.url;
  }
}

TEST(DecodeBase64, KnownAnswersOfRfc4648) {
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {"Zm9vYg", "foob"},
      {"Zm9vYmE", "fooba"},  // padding left out
      {"+/+/", "\xfb\xff\xbf"},
      {" / /", "\xfb\xff\xbf"},  // a space stands for "+"
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(DecodeBase64(c.text, 100, bytes), E::kNone) << c.text;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes) << c.text;
  }
}

TEST(DecodeBase64, RefusesWhatIsNotBase64) {
  for (const char* text :
       {"", "Z", "Zm9vY", "Zm9v=", "Zm=v", "Zm9v\n", "Zm9v!A==", "====", "Zg===", "Z\xc3\xa9=="}) {
    std::vector<std::uint8_t> bytes{1, 2};
    EXPECT_EQ(DecodeBase64(text, 100, bytes), E::kBadBase64) << text;
    EXPECT_TRUE(bytes.empty()) << text;
  }
}

TEST(DecodeBase64, RefusesMoreBytesThanTheLimitBeforeDecoding) {
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(DecodeBase64("Zm9vYmFy", 6, bytes), E::kNone);
  EXPECT_EQ(DecodeBase64("Zm9vYmFy", 5, bytes), E::kImageTooLarge);
  EXPECT_EQ(DecodeBase64("Zm9vYmE=", 5, bytes), E::kNone);
  // Not base64 at all, but too long: the size is refused first.
  EXPECT_EQ(DecodeBase64(std::string(4000, '!'), 100, bytes), E::kImageTooLarge);
}

TEST(PictureFromBody, WalksTheWholeChain) {
  struct Case {
    std::string body;
    ServiceError error;
  } cases[] = {
      {"type=webimage&image=data%3Aimage%2Fpng%3Bbase64%2CiVBORw%3D%3D&image_url=", E::kNone},
      {"image=data%3Aimage%2Fpng%3Bbase64%2CiVBORw%3D%3D", E::kNone},
      {"type=webimage&image=&image_url=", E::kMissingImage},
      {"type=webimage&image_url=", E::kMissingImage},
      {"type=webimage&image=data%3Aimage%2Fpng%3Bbase64%2CiVBORw%3D%3D&image_url=http%3A%2F%2Fx",
       E::kImageUrlRefused},
      {"image=data%3Aimage%2Fpng%3Bbase64%2C%25%25", E::kBadBase64},
      {"image=data%3Aimage%2Fpng%3Bbase64%2C", E::kBadBase64},
      {"image=iVBORw%3D%3D", E::kBadDataUrl},
      {"image=%GG", E::kNotAForm},
      {std::string(kMaxBodyBytes + 1, 'a'), E::kBodyTooLarge},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> picture;
    std::string format;
    EXPECT_EQ(PictureFromBody(c.body, picture, format), c.error) << c.body.substr(0, 80);
    if (c.error == E::kNone) {
      EXPECT_EQ(format, "png");
      EXPECT_EQ(picture, (std::vector<std::uint8_t>{0x89, 0x50, 0x4E, 0x47}));
    } else {
      EXPECT_TRUE(picture.empty());
    }
  }
}

TEST(ServiceErrorMessage, NeverHoldsAQuoteOrABackslash) {
  for (int e = 0; e <= 11; ++e) {
    std::string_view message = ServiceErrorMessage(static_cast<ServiceError>(e));
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.find_first_of("\"\\"), std::string_view::npos) << message;
  }
}

}  // namespace
}  // namespace textrill::service
