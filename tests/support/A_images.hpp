// Helpers for the tests that look at renderings (the notch panel, the menu panel, the
// tutorial): writing an image for a person to look at, and counting pixels of a kind.
#pragma once

#include <gtest/gtest.h>

#include "platform/geometry/geometry.hpp"
#include "support/platform_fixture.hpp"

// After the log header: Qt defines keyword macros.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QString>

#include <functional>
#include <optional>
#include <string>

namespace quorvel::testing {

// Writes `image` as a PNG named `name` into the test output folder, drawn over `backdrop`
// when one is given (as the window that shows it would).
inline void savePng(const QImage& image, const std::string& name,
                    const std::optional<QColor>& backdrop = std::nullopt) {
  QImage shown = image;
  if (backdrop) {
    shown = QImage(image.size(), QImage::Format_ARGB32_Premultiplied);
    shown.fill(*backdrop);
    QPainter(&shown).drawImage(0, 0, image);
  }
  const std::string path = testOutputFolder() + "/" + name;
  EXPECT_TRUE(shown.save(QString::fromStdString(path), "PNG")) << path;
}

// Green in hue, whatever its opacity.
inline bool isGreenHue(const QColor& c) {
  return c.alpha() > 0 && c.green() > c.red() + 40 && c.green() > c.blue() + 30;
}

// The pixels of `image` inside `area` (in image pixels) for which `matches` holds.
inline int countPixels(const QImage& image, const std::function<bool(const QColor&)>& matches,
                       const QRect& area) {
  const QRect inside = area.intersected(image.rect());
  int count = 0;
  for (int y = inside.top(); y <= inside.bottom(); ++y) {
    for (int x = inside.left(); x <= inside.right(); ++x) count += matches(image.pixelColor(x, y));
  }
  return count;
}
inline int countPixels(const QImage& image, const std::function<bool(const QColor&)>& matches) {
  return countPixels(image, matches, image.rect());
}

// A rectangle given in points, in the pixels of an image rendered at `scale`.
inline QRect pixelsOf(const platform::Rect& rect, double scale) {
  const auto at = [scale](double points) { return static_cast<int>(points * scale); };
  return QRect(QPoint(at(rect.minX()), at(rect.minY())),
               QPoint(at(rect.maxX()) - 1, at(rect.maxY()) - 1));
}

}  // namespace quorvel::testing
