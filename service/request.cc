#include "service/request.h"

#include <array>

namespace textrill::service {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes one form component into `out` (appended). False on a broken escape.
bool FormDecode(std::string_view text, std::string* out) {
  if (out) out->reserve(out->size() + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      if (out) out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (out) {
      out->push_back(c == '+' ? ' ' : c);
    }
  }
  return true;
}

// The base64 alphabet's values; -1 for other bytes. A space counts as "+".
constexpr std::array<std::int8_t, 256> MakeBase64Table() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 26; ++i) {
    table['A' + i] = static_cast<std::int8_t>(i);
    table['a' + i] = static_cast<std::int8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::int8_t>(52 + i);
  table['+'] = 62;
  table[' '] = 62;
  table['/'] = 63;
  return table;
}
constexpr std::array<std::int8_t, 256> kBase64Table = MakeBase64Table();

}  // namespace

std::string_view ServiceErrorMessage(ServiceError error) {
  switch (error) {
    case ServiceError::kNone:
      return "success";
    case ServiceError::kBodyTooLarge:
      return "request body too large";
    case ServiceError::kNotAForm:
      return "request body is not a form";
    case ServiceError::kMissingImage:
      return "image field missing";
    case ServiceError::kBadDataUrl:
      return "image is not a base64 data URL";
    case ServiceError::kUnsupportedType:
      return "image type not supported";
    case ServiceError::kBadBase64:
      return "image data is not base64";
    case ServiceError::kImageTooLarge:
      return "image too large";
    case ServiceError::kUndecodable:
      return "image cannot be decoded";
    case ServiceError::kImageUrlRefused:
      return "image_url not supported";
    case ServiceError::kPictureTooLarge:
      return "image dimensions too large";
    case ServiceError::kRecognitionFailed:
      return "recognition failed";
  }
  return "unknown error";
}

ServiceError FormField(std::string_view body, std::string_view name, std::string& value) {
  value.clear();
  if (body.empty()) return ServiceError::kNotAForm;
  bool found = false;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    std::string_view pair = body.substr(start, end - start);
    start = end + 1;
    // An empty pair ("a=1&&b=2", or a trailing "&") is tolerated, as browsers do.
    if (pair.empty()) continue;
    std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos || equals == 0) return ServiceError::kNotAForm;
    std::string key;
    if (!FormDecode(pair.substr(0, equals), &key)) return ServiceError::kNotAForm;
    bool wanted = !found && key == name;
    if (!FormDecode(pair.substr(equals + 1), wanted ? &value : nullptr)) {
      value.clear();
      return ServiceError::kNotAForm;
    }
    found = found || wanted;
  }
  return found ? ServiceError::kNone : ServiceError::kMissingImage;
}

ServiceError ParseDataUrl(std::string_view url, std::string_view& format,
                          std::string_view& base64) {
  constexpr std::string_view kPrefix = "data:image/";
  constexpr std::string_view kMarker = ";base64,";
  format = {};
  base64 = {};
  if (url.substr(0, kPrefix.size()) != kPrefix) return ServiceError::kBadDataUrl;
  std::size_t marker = url.find(kMarker, kPrefix.size());
  std::size_t semicolon = url.find(';', kPrefix.size());
  if (marker == std::string_view::npos || semicolon != marker) return ServiceError::kBadDataUrl;
  std::string_view type = url.substr(kPrefix.size(), marker - kPrefix.size());
  if (type != "png" && type != "bmp" && type != "jpeg") {
    return type.empty() ? ServiceError::kBadDataUrl : ServiceError::kUnsupportedType;
  }
  format = type;
  base64 = url.substr(marker + kMarker.size());
  return ServiceError::kNone;
}

ServiceError DecodeBase64(std::string_view text, std::size_t max_bytes,
                          std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  std::size_t length = text.size();
  if (length % 4 == 0 && length > 0 && text[length - 1] == '=') {
    --length;
    if (text[length - 1] == '=') --length;
  }
  if (length == 0 || length % 4 == 1) return ServiceError::kBadBase64;
  std::size_t size = length / 4 * 3 + (length % 4 == 0 ? 0 : length % 4 - 1);
  if (size > max_bytes) return ServiceError::kImageTooLarge;
  bytes.resize(size);
  std::size_t out = 0;
  std::uint32_t bits = 0;
  int pending = 0;
  for (std::size_t i = 0; i < length; ++i) {
    int v = kBase64Table[static_cast<unsigned char>(text[i])];
    if (v < 0) {
      bytes.clear();
      return ServiceError::kBadBase64;
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      bytes[out++] = static_cast<std::uint8_t>(bits >> pending);
      bits &= (1u << pending) - 1;
    }
  }
  // The bits left over after the last byte must be zero in canonical base64;
  // other encoders do not always clear them, so they are ignored.
  return ServiceError::kNone;
}

ServiceError PictureFromBody(std::string_view body, std::vector<std::uint8_t>& picture,
                             std::string& format) {
  picture.clear();
  format.clear();
  if (body.size() > kMaxBodyBytes) return ServiceError::kBodyTooLarge;
  std::string image_url;
  ServiceError error = FormField(body, "image_url", image_url);
  if (error == ServiceError::kNotAForm) return error;
  if (!image_url.empty()) return ServiceError::kImageUrlRefused;
  std::string image;
  error = FormField(body, "image", image);
  if (error != ServiceError::kNone) return error;
  if (image.empty()) return ServiceError::kMissingImage;
  std::string_view type;
  std::string_view base64;
  error = ParseDataUrl(image, type, base64);
  if (error != ServiceError::kNone) return error;
  error = DecodeBase64(base64, kMaxPictureBytes, picture);
  if (error != ServiceError::kNone) return error;
  format = type;
  return ServiceError::kNone;
}

}  // namespace textrill::service
