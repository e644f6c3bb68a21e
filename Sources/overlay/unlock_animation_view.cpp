#include "overlay/unlock_animation_view.hpp"

#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRadialGradient>
#include <QTransform>

#include <algorithm>
#include <cmath>

#include "overlay/glyphs.hpp"
#include "overlay/notch_panel_shape.hpp"
#include "platform/symbols/symbol_set.hpp"

namespace quorvel {
namespace {

using Glyph = UnlockAnimationModel::Glyph;

// The height of one line of the message at 12 points.
constexpr double kMessageLineHeight = 15;
constexpr double kMessageMaxWidth = 240;
constexpr double kMessageFontSize = 12;
constexpr double kMessageMinimumScale = 0.8;
constexpr double kStackSpacing = 10;

double mix(double a, double b, double f) { return a + (b - a) * f; }

QRectF toQ(const platform::Rect& r) { return QRectF(r.minX(), r.minY(), r.width(), r.height()); }

QColor mix(const QColor& a, const QColor& b, double f) {
  return QColor::fromRgbF(static_cast<float>(mix(a.redF(), b.redF(), f)),
                          static_cast<float>(mix(a.greenF(), b.greenF(), f)),
                          static_cast<float>(mix(a.blueF(), b.blueF(), f)),
                          static_cast<float>(mix(a.alphaF(), b.alphaF(), f)));
}

QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(std::clamp(color.alphaF() * opacity, 0.0, 1.0)));
  return color;
}

QPen strokePen(const QColor& color, double width) {
  QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  pen.setMiterLimit(10);
  return pen;
}

platform::Size openSizeFor(const NotchGeometry& notch, bool withMessage, double gap,
                           double side, double inset) {
  const double height = notch.height + gap + side + inset;
  return withMessage ? platform::Size{272, height + 30} : platform::Size{250, height};
}

}  // namespace

UnlockAnimationView::UnlockAnimationView(std::shared_ptr<UnlockAnimationModel> model,
                                         NotchGeometry notch)
    : model_(std::move(model)), notch_(notch) {}

platform::Size UnlockAnimationView::currentOpenSize() const {
  // The message appears with its own animation; the size follows it.
  const auto sample = model_->message.sample();
  const auto from = openSizeFor(notch_, sample.from.has_value(), notchGap, glyphSide, bottomInset);
  const auto to = openSizeFor(notch_, sample.to.has_value(), notchGap, glyphSide, bottomInset);
  return {mix(from.width, to.width, sample.fraction), mix(from.height, to.height, sample.fraction)};
}

UnlockAnimationView::Layout UnlockAnimationView::layout(const platform::Rect& bounds) const {
  Layout result;
  result.openSize = currentOpenSize();
  const double width = std::max(notch_.width, result.openSize.width + 2 * filletRadius);
  const double height = std::max(notch_.height, result.openSize.height);
  const double left = bounds.minX() + (bounds.width() - width) / 2;
  result.frame = platform::Rect(left, bounds.minY(), width, height);

  // The content stack sits at the bottom of the open panel, `bottomInset` above its edge. Its
  // height follows the message's animation as the panel's does, so the glyph moves down with
  // the panel's bottom instead of jumping up into the housing.
  const auto& message = model_->message.value();
  const auto sample = model_->message.sample();
  const double line = kStackSpacing + kMessageLineHeight;
  const double stackHeight =
      glyphSide + mix(sample.from ? line : 0, sample.to ? line : 0, sample.fraction);
  const double stackBottom = bounds.minY() + result.openSize.height - bottomInset;
  const double centreX = left + width / 2;
  const double top = stackBottom - stackHeight;
  result.glyph = platform::Rect(centreX - glyphSide / 2, top, glyphSide, glyphSide);
  if (message) {
    result.message = platform::Rect(centreX - kMessageMaxWidth / 2, top + glyphSide + kStackSpacing,
                            kMessageMaxWidth, kMessageLineHeight);
  }
  return result;
}

QImage UnlockAnimationView::render(platform::Size canvas, double scale) {
  platform::windows::ensureGuiApplication();
  platform::windows::HostingView host(nullptr);
  host.setFrame(platform::Rect(0, 0, canvas.width, canvas.height));
  // Draw through a host that does not own us.
  host.setRootView(std::shared_ptr<platform::windows::View>(std::shared_ptr<void>(), this));
  return host.render(scale);
}

void UnlockAnimationView::draw(QPainter& painter, const platform::Rect& bounds) {
  const Layout layout = this->layout(bounds);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setClipRect(toQ(layout.frame), Qt::IntersectClip);

  const NotchPanelGeometry geometry(notch_.width, notch_.height, layout.openSize.width,
                                    layout.openSize.height, filletRadius);
  const NotchPanelShape shape(geometry, model_->panelProgress.presented(), 16, 30);
  painter.fillPath(shape.path(toQ(layout.frame)), Qt::black);

  drawContents(painter, layout);
  painter.restore();
}

void UnlockAnimationView::drawContents(QPainter& painter, const Layout& layout) {
  const auto visible = model_->contentVisible.sample();
  const double opacity = mix(visible.from ? 1 : 0, visible.to ? 1 : 0, visible.fraction);
  if (opacity <= 0) return;
  painter.save();
  painter.setOpacity(painter.opacity() * opacity);
  drawGlyphStack(painter, layout.glyph.offsetBy(model_->shake.presented(), 0));
  if (layout.message) {
    // The text fades in with its change.
    const auto sample = model_->message.sample();
    const double textOpacity = sample.from ? 1 : sample.fraction;
    drawMessage(painter, *layout.message, *model_->message.value(), textOpacity);
  }
  painter.restore();
}

void UnlockAnimationView::drawGlyphStack(QPainter& painter, const platform::Rect& frame) {
  const QRectF glyph = toQ(frame);
  const QColor& green = quorvelGreen();
  const QPointF centre = glyph.center();

  // Glow.
  const double bloom = model_->bloom.presented();
  if (bloom > 0) {
    const double side = 1.35 * glyphSide;
    QRadialGradient gradient(centre, 0.68 * glyphSide);
    gradient.setColorAt(0, withOpacity(green, 0.55));
    gradient.setColorAt(1, withOpacity(green, 0));
    painter.save();
    painter.setOpacity(painter.opacity() * std::min(bloom, 1.0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawEllipse(QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side));
    painter.restore();
  }

  // Face or palm, cross-fading while the glyph changes.
  const auto which = model_->glyph.sample();
  const double palmWeight =
      mix(which.from == Glyph::palm ? 1 : 0, which.to == Glyph::palm ? 1 : 0, which.fraction);
  if (palmWeight < 1) drawFaceGroup(painter, frame, 1 - palmWeight);
  if (palmWeight > 0) drawPalm(painter, frame, palmWeight);

  // Tick, always green.
  const double tick = model_->tickProgress.presented();
  if (tick > 0) {
    const QPainterPath path = trimmedPath(TickGlyph{}.path(glyph), 0, tick);
    painter.strokePath(path, strokePen(green, 0.121 * glyphSide));
  }
}

void UnlockAnimationView::drawFaceGroup(QPainter& painter, const platform::Rect& frame,
                                        double opacity) {
  const QRectF glyph = toQ(frame);
  const auto drainedSample = model_->drained.sample();
  const double white =
      mix(drainedSample.from ? 1 : 0, drainedSample.to ? 1 : 0, drainedSample.fraction);
  const QColor colour = mix(quorvelGreen(), QColor(Qt::white), white);
  const double I = model_->illumination.presented();
  const double lineWidth = 0.121 * glyphSide;

  painter.save();
  // Rotated, then scaled, both about the glyph's centre.
  const QPointF centre = glyph.center();
  painter.translate(centre);
  const double scale = model_->faceScale.presented();
  painter.scale(scale, scale);
  painter.rotate(model_->faceTurn.presented());
  painter.translate(-centre);
  painter.setOpacity(painter.opacity() * opacity *
                     std::clamp(model_->faceOpacity.presented(), 0.0, 1.0));

  auto stroke = [&](const QPainterPath& path, double alpha) {
    painter.strokePath(path, strokePen(withOpacity(colour, std::clamp(alpha, 0.0, 1.0)),
                                       lineWidth));
  };
  stroke(FaceBracketsShape{}.path(glyph), I * 0.45 + 0.55);
  stroke(FaceNoseShape{}.path(glyph), I * 0.7 + 0.3);
  stroke(FaceMouthShape{}.path(glyph), I * 0.7 + 0.3);
  const double eyeShift = glyphSide * model_->glance.presented() / 100;
  stroke(FaceEyesShape{}.path(glyph.translated(eyeShift, 0)), I * 0.7 + 0.3);
  if (!model_->reduceMotion()) drawSweep(painter, frame, model_->sweepOpacity.presented());
  painter.restore();
}

void UnlockAnimationView::drawSweep(QPainter& painter, const platform::Rect& frame, double opacity) {
  if (opacity <= 0 || !painter.device()) return;
  const QRectF glyph = toQ(frame);
  const double lineWidth = 0.121 * glyphSide;
  const double bandHeight = 0.742 * glyphSide;
  const double travel = 0.5 * glyphSide + bandHeight * 0.34;
  const double offset = (2 * model_->sweep.presented() - 1) * travel;
  const QPointF centre = glyph.center();
  const QRectF band(centre.x() - (glyphSide + 28) / 2, centre.y() - bandHeight / 2 + offset,
                    glyphSide + 28, bandHeight);
  // Only where the band crosses the strokes (halo included) is anything drawn.
  const QRectF area = band.intersected(glyph.adjusted(-lineWidth, -lineWidth, lineWidth, lineWidth));
  if (area.isEmpty()) return;
  // Cut to the device before going to whole pixels: a face scaled or turned by a value that
  // is not finite (or absurdly large) must not overflow the integer rectangle.
  const QRect device(0, 0, painter.device()->width(), painter.device()->height());
  const QRectF mapped = painter.transform().mapRect(area).intersected(QRectF(device));
  if (!(mapped.width() > 0 && mapped.height() > 0)) return;
  const QRect deviceArea = mapped.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(device);
  if (deviceArea.isEmpty()) return;

  // The strokes are drawn into a layer over that area, masked by the band and then composed
  // onto the canvas.
  QImage layer(deviceArea.size(), QImage::Format_ARGB32_Premultiplied);
  layer.fill(Qt::transparent);
  {
    QPainter lp(&layer);
    lp.setRenderHint(QPainter::Antialiasing);
    lp.setTransform(painter.transform() *
                    QTransform::fromTranslate(-deviceArea.x(), -deviceArea.y()));
    const QPainterPath face = FaceIDGlyph{}.path(glyph);
    lp.strokePath(face, strokePen(withOpacity(quorvelGreen(), 0.16), 2 * lineWidth));
    lp.strokePath(face, strokePen(quorvelGreen(), lineWidth));

    QLinearGradient gradient(band.topLeft(), band.bottomLeft());
    gradient.setColorAt(0, QColor(255, 255, 255, 0));
    gradient.setColorAt(0.3, withOpacity(Qt::white, 0.35));
    gradient.setColorAt(0.5, Qt::white);
    gradient.setColorAt(0.7, withOpacity(Qt::white, 0.35));
    gradient.setColorAt(1, QColor(255, 255, 255, 0));
    // Keep the layer only where the band is, as strong as the band's alpha.
    QPainterPath outside;
    outside.addRect(glyph.adjusted(-glyphSide, -glyphSide, glyphSide, glyphSide));
    QPainterPath inside;
    inside.addRect(band);
    lp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    lp.fillRect(band, gradient);
    lp.fillPath(outside.subtracted(inside), Qt::transparent);
  }
  painter.save();
  painter.setOpacity(painter.opacity() * std::clamp(opacity, 0.0, 1.0));
  painter.resetTransform();
  painter.drawImage(deviceArea.topLeft(), layer);
  painter.restore();
}

void UnlockAnimationView::drawPalm(QPainter& painter, const platform::Rect& frame, double opacity) {
  const QRectF glyph = toQ(frame);
  const auto path = platform::symbols::symbolPath("hand.raised.fill", 0.82 * glyphSide);
  if (!path) return;
  const auto drainedSample = model_->drained.sample();
  const double white =
      mix(drainedSample.from ? 1 : 0, drainedSample.to ? 1 : 0, drainedSample.fraction);
  const QColor colour = mix(quorvelGreen(), QColor(Qt::white), white);
  painter.save();
  painter.setOpacity(painter.opacity() * opacity);
  painter.translate(glyph.center());
  painter.fillPath(*path, colour);
  painter.restore();
}

void UnlockAnimationView::drawMessage(QPainter& painter, const platform::Rect& frame,
                                      const std::string& text, double opacity) {
  const QRectF rect = toQ(frame);
  platform::windows::ensureGuiApplication();
  QFont font;
  font.setPixelSize(static_cast<int>(kMessageFontSize));
  font.setWeight(QFont::Normal);
  const QFontMetricsF metrics(font);
  QString line = QString::fromStdString(text);
  const double natural = metrics.horizontalAdvance(line);
  // Shrink down to 80 % first; what still does not fit is truncated.
  double factor = 1;
  if (natural > rect.width()) factor = std::max(kMessageMinimumScale, rect.width() / natural);
  if (natural * factor > rect.width()) {
    line = metrics.elidedText(line, Qt::ElideRight, rect.width() / factor);
  }
  painter.save();
  painter.setOpacity(painter.opacity() * opacity);
  painter.setFont(font);
  painter.setPen(withOpacity(Qt::white, 0.62));
  painter.translate(rect.center());
  painter.scale(factor, factor);
  const QRectF local(-rect.width() / (2 * factor), -rect.height() / 2, rect.width() / factor,
                     rect.height());
  painter.drawText(local, Qt::AlignCenter | Qt::TextSingleLine, line);
  painter.restore();
}

}  // namespace quorvel
