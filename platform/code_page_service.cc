#include "platform/code_page_service.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace textrill::platform {
namespace {

// Owns one iconv converter; iconv_open reports failure as (iconv_t)-1.
class Converter {
 public:
  Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

std::string IconvName(unsigned code_page) {
  if (code_page == kCodePageUtf8) return "UTF-8";
  return "CP" + std::to_string(code_page);
}

// Runs `converter` over `in`, growing `out` as needed. On a sequence the
// target cannot take or the source does not hold, `on_error` appends the
// replacement to `out` and returns how many input bytes to skip.
template <typename Out, typename OnError>
void Convert(const Converter& converter, const char* in, std::size_t in_size, Out& out,
             OnError on_error) {
  using Unit = typename Out::value_type;
  std::size_t used = out.size();
  out.resize(used + in_size + 16);
  char* in_ptr = const_cast<char*>(in);
  std::size_t in_left = in_size;
  while (in_left > 0) {
    char* out_ptr = reinterpret_cast<char*>(out.data() + used);
    std::size_t out_left = (out.size() - used) * sizeof(Unit);
    std::size_t before = out_left;
    std::size_t rc = iconv(converter.get(), &in_ptr, &in_left, &out_ptr, &out_left);
    used += (before - out_left) / sizeof(Unit);
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2 + 16);
      continue;
    }
    // EILSEQ or EINVAL (incomplete sequence at the end): replace and go on.
    out.resize(used);
    std::size_t skip = on_error(reinterpret_cast<const unsigned char*>(in_ptr), in_left, out);
    if (skip > in_left) skip = in_left;
    in_ptr += skip;
    in_left -= skip;
    used = out.size();
    if (out.size() - used < 16) out.resize(used + in_left + 16);
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);  // reset shift state
  }
  out.resize(used);
}

// Length of the longest prefix of `p` that could begin a valid UTF-8
// sequence, at least 1: an invalid sequence is replaced by one U+FFFD for its
// maximal valid prefix, as Windows does.
std::size_t InvalidUtf8Length(const unsigned char* p, std::size_t left) {
  unsigned char lead = p[0];
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t n = 1;
  for (std::size_t k = 0; k < need && n < left; ++k, ++n) {
    unsigned char c = p[n];
    if (c < (k == 0 ? lo : 0x80) || c > (k == 0 ? hi : 0xBF)) break;
  }
  return n;
}

// Code pages whose bytes below 0x80 are always ASCII characters on their own
// (never the second byte of a character): those runs are copied without
// iconv. In code page 936 a byte below 0x80 may be a second byte, so only
// encoding into it takes the shortcut, not decoding from it.
bool AsciiRunsDecodeAsIs(unsigned code_page) { return code_page == kCodePageUtf8; }
bool AsciiRunsEncodeAsIs(unsigned code_page) {
  return code_page == kCodePageUtf8 || code_page == kCodePageGbk;
}

// Splits `in` into runs of ASCII units, appended to `out` as they are by
// `copy_ascii`, and runs of other units, handed to `convert`. A multi-byte
// character never contains an ASCII unit, so no character is split.
template <typename Unit, typename CopyAscii, typename ConvertRun>
void ForEachRun(const Unit* in, std::size_t size, CopyAscii copy_ascii, ConvertRun convert) {
  std::size_t k = 0;
  while (k < size) {
    std::size_t end = k;
    const bool ascii = static_cast<std::uint32_t>(in[k]) < 0x80;
    while (end < size && (static_cast<std::uint32_t>(in[end]) < 0x80) == ascii) ++end;
    if (ascii) {
      copy_ascii(in + k, end - k);
    } else {
      convert(in + k, end - k);
    }
    k = end;
  }
}

}  // namespace

std::optional<std::u16string> DecodeCodePage(unsigned code_page, std::string_view bytes) {
  Converter converter("UTF-16LE", IconvName(code_page).c_str());
  if (!converter.ok()) return std::nullopt;
  std::u16string out;
  out.reserve(bytes.size());
  const bool utf8 = code_page == kCodePageUtf8;
  auto on_error = [utf8](const unsigned char* p, std::size_t left,
                         std::u16string& o) -> std::size_t {
    if (utf8) {
      o.push_back(u'\xFFFD');
      return InvalidUtf8Length(p, left);
    }
    o.push_back(u'?');
    return 1;
  };
  if (!AsciiRunsDecodeAsIs(code_page)) {
    Convert(converter, bytes.data(), bytes.size(), out, on_error);
    return out;
  }
  ForEachRun(
      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
      [&out](const unsigned char* run, std::size_t n) { out.append(run, run + n); },
      [&](const unsigned char* run, std::size_t n) {
        Convert(converter, reinterpret_cast<const char*>(run), n, out, on_error);
      });
  return out;
}

std::optional<std::string> EncodeCodePage(unsigned code_page, std::u16string_view units) {
  Converter converter(IconvName(code_page).c_str(), "UTF-16LE");
  if (!converter.ok()) return std::nullopt;
  std::string out;
  out.reserve(units.size());
  auto on_error = [](const unsigned char* p, std::size_t left, std::string& o) -> std::size_t {
    o.push_back('?');
    if (left < 2) return left;
    char16_t unit = static_cast<char16_t>(p[0] | (p[1] << 8));
    if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
      char16_t next = static_cast<char16_t>(p[2] | (p[3] << 8));
      if (next >= 0xDC00 && next <= 0xDFFF) return 4;  // one character
    }
    return 2;
  };
  auto convert = [&](const char16_t* run, std::size_t n) {
    Convert(converter, reinterpret_cast<const char*>(run), n * 2, out, on_error);
  };
  if (!AsciiRunsEncodeAsIs(code_page)) {
    convert(units.data(), units.size());
    return out;
  }
  ForEachRun(
      units.data(), units.size(),
      [&out](const char16_t* run, std::size_t n) { out.append(run, run + n); }, convert);
  return out;
}

}  // namespace textrill::platform
