// Helpers for the tests that look at renderings (the notch panel, the menu panel, the
// tutorial): writing an image for a person to look at, and counting pixels of a kind.
#pragma once

#include <gtest/gtest.h>

#include "support/platform_fixture.hpp"

// After the log header: Qt defines keyword macros.
#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>

#include <functional>
#include <string>

namespace quorvel::testing {

// Writes `image` as a PNG named `name` into the test output folder.
inline void savePng(const QImage& image, const std::string& name) {
  const std::string path = testOutputFolder() + "/" + name;
  EXPECT_TRUE(image.save(QString::fromStdString(path), "PNG")) << path;
}

// The pixels of `image` inside `area` (in image pixels; the whole image when empty) for
// which `matches` holds.
inline int countPixels(const QImage& image, const std::function<bool(const QColor&)>& matches,
                       QRect area = {}) {
  area = area.isEmpty() ? image.rect() : area.intersected(image.rect());
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) count += matches(image.pixelColor(x, y));
  }
  return count;
}

// A rectangle given in points, in the pixels of an image rendered at `scale`.
inline QRect pixelsOf(double x, double y, double width, double height, double scale) {
  return QRect(static_cast<int>(x * scale), static_cast<int>(y * scale),
               static_cast<int>((x + width) * scale) - static_cast<int>(x * scale),
               static_cast<int>((y + height) * scale) - static_cast<int>(y * scale));
}

}  // namespace quorvel::testing
