// The program's texts (code page 936 bytes) as Qt strings and back.
// Pure functions; any thread may call them.
#pragma once

#include <QString>
#include <string>

namespace textrill::ui {

// `text` (up to its first zero byte) as a QString; bytes that are not valid
// code page 936 become "?". "" gives an empty QString.
QString FromAnsi(const std::string& text);

// `text` as code page 936 bytes; characters the code page lacks become "?".
// An empty QString gives "".
std::string ToAnsi(const QString& text);

}  // namespace textrill::ui
