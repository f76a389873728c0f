#include "app/intake.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "app/globals.h"
#include "app/recognition_job.h"
#include "app/status_texts.h"
#include "encoding/base64.h"
#include "encoding/url_encoding.h"
#include "http/http_session.h"
#include "platform/code_page_service.h"

namespace textrill {
namespace {

struct Signature {
  std::array<std::uint8_t, 2> bytes;
  const char* format;
};

constexpr std::array<Signature, 3> kSignatures = {{
    {{0x89, 0x50}, "png"},
    {{0x42, 0x4D}, "bmp"},
    {{0xFF, 0xD8}, "jpeg"},
}};

bool NamesRegularFile(const std::filesystem::path& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error);
}

// GET of `address` through Session. A failed Open gives no bytes, so the
// previous request's response is never taken for this one.
std::vector<std::uint8_t> Download(const std::string& address) {
  if (!Session || !Session->Open("GET", address)) return {};
  Session->SendText();
  return Session->ResponseBody();
}

}  // namespace

std::filesystem::path PathFromText(const std::string& text) {
  const std::string_view bytes(text.c_str(), std::strlen(text.c_str()));
  if (std::all_of(bytes.begin(), bytes.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::filesystem::path(bytes);
  }
  std::optional<std::u16string> units = platform::DecodeCodePage(platform::kCodePageGbk, bytes);
  if (!units) return {};
  std::optional<std::string> utf8 = platform::EncodeCodePage(platform::kCodePageUtf8, *units);
  if (!utf8) return {};
  return std::filesystem::path(*utf8);
}

std::vector<std::uint8_t> ReadPictureFile(const std::filesystem::path& path) {
  // Only regular files: a FIFO or a device could block or never end.
  if (!NamesRegularFile(path)) return {};
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  std::vector<std::uint8_t> bytes;
  bytes.resize(error ? 0
                     : static_cast<std::size_t>(std::min<std::uintmax_t>(size, kPictureSizeLimit)));
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

void OnBrowse(Controls& controls) {
  if (RecognitionRunning()) return;
  controls.SetPathText("");
  if (!controls.OpenFileDialog()) return;
  controls.SetPathText(controls.DialogFileName());
  ImageBytes = ReadPictureFile(controls.DialogFilePath());
  AcceptImage(controls);
}

void OnGo(Controls& controls) {
  if (RecognitionRunning()) return;
  const std::string text = controls.PathText();
  const std::filesystem::path path = PathFromText(text);
  if (NamesRegularFile(path) || text.find('/') == std::string::npos) {
    ImageBytes = ReadPictureFile(path);
  } else {
    ImageBytes = Download(text);
  }
  AcceptImage(controls);
}

void AcceptImage(Controls& controls) {
  if (RecognitionRunning()) return;
  if (ImageBytes.empty()) {
    controls.SetStatus(status::kReadFailed);
    return;
  }
  if (ImageBytes.size() >= kPictureSizeLimit) {
    controls.SetStatus(status::kTooLarge);
    return;
  }
  ImageSignature.assign(ImageBytes.begin(),
                        ImageBytes.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min<std::size_t>(2, ImageBytes.size())));
  const Signature* match = nullptr;
  for (const Signature& signature : kSignatures) {
    if (std::equal(ImageSignature.begin(), ImageSignature.end(), signature.bytes.begin(),
                   signature.bytes.end())) {
      match = &signature;
      break;
    }
  }
  if (match == nullptr) {
    controls.SetStatus(status::kUnsupportedFormat);
    return;
  }
  ImageFormat = match->format;
  controls.ShowPreview(ImageBytes);
  EncodedImage = FormUrlEncode(Base64Encode(ImageBytes));

  // The buttons are disabled and the caption written before the worker
  // starts, so a job that ends at once cannot be overtaken by them.
  controls.SetStatus(status::kRecognizing);
  controls.SetGoEnabled(false);
  controls.SetBrowseEnabled(false);
  if (!StartRecognition(controls)) {
    controls.SetStatus(status::kThreadFailed);
    controls.SetGoEnabled(true);
    controls.SetBrowseEnabled(true);
  }
}

}  // namespace textrill
