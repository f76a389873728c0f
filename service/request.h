// Decoding of a recognition request: the form body, the image data URL and its
// base64 text, down to the picture's bytes.
//
// Every function here is pure and thread-safe; failures are returned as a
// ServiceError, never thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace textrill::service {

// The error numbers of the reply's "errno" field. 0 is success; every other
// value comes with the short message of ServiceErrorMessage.
enum class ServiceError : int {
  kNone = 0,
  kBodyTooLarge = 1,        // the request body is over kMaxBodyBytes
  kNotAForm = 2,            // not application/x-www-form-urlencoded text
  kMissingImage = 3,        // no "image" field, or an empty one
  kBadDataUrl = 4,          // "image" is not data:image/<type>;base64,<data>
  kUnsupportedType = 5,     // a data URL of a type other than png, bmp, jpeg
  kBadBase64 = 6,           // the data is not base64
  kImageTooLarge = 7,       // the picture is over kMaxPictureBytes
  kUndecodable = 8,         // the bytes are not a picture we can read
  kImageUrlRefused = 9,     // a non-empty "image_url": we fetch nothing
  kPictureTooLarge = 10,    // the picture's dimensions are too large to read
  kRecognitionFailed = 11,  // the engine failed on a readable picture
};

// Limits of what one request may carry.
inline constexpr std::size_t kMaxBodyBytes = 24u * 1024u * 1024u;  // 24 MiB
inline constexpr std::size_t kMaxPictureBytes = 4194303;

// A short English message for `error` ("success" for kNone). It holds neither
// double quotes nor backslashes, so a reader that cuts the message at the next
// double quote gets all of it.
std::string_view ServiceErrorMessage(ServiceError error);

// The value of the first field called `name` in the form-encoded `body`,
// decoded ("+" is a space, "%XX" a byte). Returns kNone and sets `value` when
// the field is there, kMissingImage (with `value` emptied) when it is not, and
// kNotAForm when `body` is not well-formed form text: empty, a pair without
// "=", an empty name, or a "%" not followed by two hexadecimal digits.
ServiceError FormField(std::string_view body, std::string_view name, std::string& value);

// The picture format word of a data URL "data:image/<png|bmp|jpeg>;base64,..."
// and its base64 part. kBadDataUrl when the text is not such a data URL,
// kUnsupportedType for another image type (gif, webp, jpg, ...).
ServiceError ParseDataUrl(std::string_view url, std::string_view& format, std::string_view& base64);

// Decodes RFC 4648 base64 into `bytes` (replaced). The padding may be left out;
// a space stands for "+" (form decoding turns an unescaped "+" into one).
// Returns kBadBase64 for any other character, "=" anywhere but at the end, a
// length that no base64 text can have, or an empty text; kImageTooLarge when
// the bytes would exceed `max_bytes` (checked before decoding).
ServiceError DecodeBase64(std::string_view text, std::size_t max_bytes,
                          std::vector<std::uint8_t>& bytes);

// The whole chain for one request body: the form's "image_url" must be empty
// or absent, its "image" a data URL of png, bmp or jpeg, whose base64 decodes
// to at most kMaxPictureBytes bytes. On kNone `picture` holds the bytes and
// `format` the format word. `body` over kMaxBodyBytes gives kBodyTooLarge.
ServiceError PictureFromBody(std::string_view body, std::vector<std::uint8_t>& picture,
                             std::string& format);

}  // namespace textrill::service
