// twips.h -- window layouts are designed in twips (1/1440 inch); at 96 dots per inch 15 twips
// make one pixel, and every designed position is a whole number of pixels.
#pragma once

#include <QRect>
#include <QSize>

namespace prompt {

inline constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) { return twips / kTwipsPerPixel; }

inline QRect twipsRect(int left, int top, int width, int height) {
  return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
               twipsToPixels(height));
}

inline QSize twipsSize(int width, int height) {
  return QSize(twipsToPixels(width), twipsToPixels(height));
}

}  // namespace prompt
