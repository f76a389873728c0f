// The application's globals, one each per process.
//
// Threads: the window's thread writes ImageBytes, ImageSignature, ImageFormat
// and EncodedImage; the recognition worker reads ImageFormat and EncodedImage,
// and is started only after they are written and while 浏览 and GO are
// disabled, so no lock is needed for them. AllResultsText is written by the
// worker while the window's thread may copy it: it is a SharedText, whose
// readers always get a whole old or new value.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/heap.h"

namespace textrill {

class HttpSession;

// A text that one thread replaces or extends while another reads it.
class SharedText {
 public:
  std::string Get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void Set(std::string text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }
  void Append(std::string_view more) {
    std::lock_guard lock(mutex_);
    text_ += more;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// The one HTTP session, created at start-up and destroyed by ExitCleanup.
extern std::unique_ptr<HttpSession> Session;
// The bytes of the last picture read or downloaded (accepted or not).
extern std::vector<std::uint8_t> ImageBytes;
// The first two bytes of ImageBytes (one when it is one byte long).
extern std::vector<std::uint8_t> ImageSignature;
// "png", "bmp" or "jpeg" of the last accepted picture; "" before.
extern std::string ImageFormat;
// FormUrlEncode(Base64Encode(ImageBytes)) of the last accepted picture.
extern std::string EncodedImage;
// Every line text of the last recognition, each followed by CR LF.
extern SharedText AllResultsText;
// The process heap, taken at start-up.
extern platform::HeapHandle ProcessHeap;

// Registered at start-up to run once when the program ends, on the window's
// thread after the event loop, when no other thread uses the globals any
// more: releases the picture globals and AllResultsText, then destroys
// Session (Destroy, then the object). Safe to call again; it then does nothing.
void ExitCleanup();

}  // namespace textrill
