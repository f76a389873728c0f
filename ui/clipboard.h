// The plain-text clipboard.
#pragma once

#include <string>

namespace textrill::ui {

// Replaces the clipboard's content with `text` (code page 936 bytes, up to the
// first zero byte) as plain text. An empty text still replaces whatever the
// clipboard held, with an empty text. Without a clipboard (no application
// object) nothing happens. Only the thread of the QApplication may call it.
void SetClipboardText(const std::string& text);

// The clipboard's plain text as code page 936 bytes; "" when it holds none.
// Only the thread of the QApplication may call it.
std::string ClipboardText();

}  // namespace textrill::ui
