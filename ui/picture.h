// Decoding picture file bytes for the preview box and fitting them into it.
// Pure functions on QImage; any thread may call them (QPixmap, by contrast,
// belongs to the window's thread).
#pragma once

#include <QImage>
#include <QSize>
#include <cstdint>
#include <span>

namespace textrill::ui {

// The picture in `bytes` (PNG, BMP or JPEG file content, recognised by its
// content, not by a name). A null QImage when the bytes are empty or cannot
// be decoded.
QImage DecodePicture(std::span<const std::uint8_t> bytes);

// The size to draw a picture of `picture` size in a box of `box` size: the
// picture's own size when it fits, else the largest size with the same
// proportions that fits (never below 1 x 1). An empty picture or box gives an
// empty size.
QSize FitInto(QSize picture, QSize box);

// `picture` scaled down to FitInto(picture.size(), box), or unchanged when it
// fits. A null picture gives a null picture.
QImage FitPicture(const QImage& picture, QSize box);

}  // namespace textrill::ui
