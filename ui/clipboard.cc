#include "ui/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include "ui/text.h"

namespace textrill::ui {

void SetClipboardText(const std::string& text) {
  if (qGuiApp == nullptr) return;
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return;
  // A fresh mime object holding only text/plain: the clipboard takes its
  // ownership, and an empty text is stored as such instead of leaving the
  // previous content in place.
  auto* data = new QMimeData;
  data->setText(FromAnsi(text));
  clipboard->setMimeData(data, QClipboard::Clipboard);
}

std::string ClipboardText() {
  if (qGuiApp == nullptr) return std::string();
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return std::string();
  return ToAnsi(clipboard->text(QClipboard::Clipboard));
}

}  // namespace textrill::ui
