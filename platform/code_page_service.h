// Code page service: conversions between a Windows code page and UTF-16, the
// stand-in for MultiByteToWideChar and WideCharToMultiByte, built on iconv.
//
// Code page numbers are Windows' own: 936 is Windows' simplified Chinese code
// page (GBK with 0x80 as the euro sign, iconv's "CP936"), 65001 is UTF-8, 1252
// and other numbers map to iconv's "CP<number>". Both functions are
// thread-safe; each call opens its own converter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace textrill::platform {

inline constexpr unsigned kCodePageGbk = 936;
inline constexpr unsigned kCodePageUtf8 = 65001;

// Decodes `bytes` in `code_page` to UTF-16. Every byte is consumed: a sequence
// that is not valid in the code page becomes U+FFFD for UTF-8 and "?" (U+003F)
// for other code pages, and decoding goes on after it. Zero bytes are decoded
// like any other byte. Returns nullopt only when the code page is unknown.
std::optional<std::u16string> DecodeCodePage(unsigned code_page, std::string_view bytes);

// Encodes UTF-16 `units` in `code_page`. A character the code page cannot hold,
// and an unpaired surrogate, becomes the code page's default character "?"
// (one "?" per character; a surrogate pair is one character). Returns nullopt
// only when the code page is unknown.
std::optional<std::string> EncodeCodePage(unsigned code_page, std::u16string_view units);

}  // namespace textrill::platform
