#include "onboarding/face_scan_view.hpp"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <variant>

#include "overlay/glyphs.hpp"

namespace quorvel {
namespace {

using platform::animation::Animation;

constexpr double kPi = 3.14159265358979323846;
// The tick's inner end sits this far (times D) outside the circle; its rest and full lengths.
constexpr double kTickGap = 0.07;
constexpr double kTickLength = 0.08;
constexpr double kTickLongest = 0.16;
constexpr double kCheckSize = 0.42;
constexpr double kCheckLine = 0.13;
constexpr double kFinishedImageOpacity = 0.25;

QRectF toQ(const platform::Rect& r) { return QRectF(r.minX(), r.minY(), r.width(), r.height()); }

QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(std::clamp(color.alphaF() * opacity, 0.0, 1.0)));
  return color;
}

double mix(double a, double b, double f) { return a + (b - a) * f; }

struct TickLook {
  double opacity;
  double lengthening;
  double emphasis;
};

TickLook look(int passes, int index, const platform::Point& direction) {
  if (passes <= 0) {
    const double e = std::clamp(EnrolmentModel::tickEmphasis(index, direction), 0.0, 1.0);
    return {0.16 + 0.74 * e, e, e};
  }
  if (passes == 1) return {0.55, 1, 0};
  return {1, 1, 0};
}

int passesOf(const EnrolmentModel::TickPasses& passes, int index) {
  const auto found = passes.find(index);
  return found == passes.end() ? 0 : found->second;
}

}  // namespace

FaceScanView::FaceScanView(std::shared_ptr<EnrolmentModel> model, double diameter)
    : model_(std::move(model)), diameter_(diameter) {
  checkShownAt_ = model_->finished.changedAt();
  subscription_ = model_->subscribe([this](const platform::animation::Change& change) {
    // Observers hear of a change before it is made: the field still holds its old value.
    const bool* turnsTo = std::get_if<bool>(&change.newValue);
    if (change.field == "finished" && turnsTo && *turnsTo && !model_->finished.value()) {
      checkShownAt_ = change.time;
    }
    if (onNeedsDisplay) onNeedsDisplay();
  });
}

FaceScanView::~FaceScanView() { model_->unsubscribe(subscription_); }

double FaceScanView::frameSide(double diameter) {
  return diameter + 2 * (kTickGap + kTickLength + kTickLength) * diameter;
}

FaceScanView::TickLayout FaceScanView::tick(int index, const platform::Point& centre,
                                            double time) const {
  const double D = diameter_;
  const auto passes = model_->tickPasses.sample(time);
  const platform::Point direction = model_->direction.presented(time);
  const int before = passesOf(passes.from, index);
  const int after = passesOf(passes.to, index);
  const TickLook from = look(before, index, direction);
  const TickLook to = look(after, index, direction);
  const double f = passes.fraction;

  TickLayout layout;
  layout.index = index;
  layout.passes = f >= 1 ? after : before;
  layout.emphasis = to.emphasis;
  layout.opacity = mix(from.opacity, to.opacity, f);
  const double lengthening = mix(from.lengthening, to.lengthening, f);
  layout.length = std::min(kTickLength * D * (1 + lengthening), kTickLongest * D);
  layout.rotation = index * 360.0 / EnrolmentModel::tickCount;
  const double reach = 0.5 * D + kTickGap * D + layout.length / 2;
  const double radians = layout.rotation * kPi / 180;
  layout.centre = {centre.x + reach * std::sin(radians), centre.y - reach * std::cos(radians)};
  return layout;
}

FaceScanView::Structure FaceScanView::structure(const platform::Rect& bounds) const {
  return structure(bounds, platform::animation::currentTime());
}

FaceScanView::Structure FaceScanView::structure(const platform::Rect& bounds, double time) const {
  const double D = diameter_;
  const double side = frameSide(D);
  const platform::Point centre{bounds.midX(), bounds.midY()};
  Structure s;
  s.frame = platform::Rect(centre.x - side / 2, centre.y - side / 2, side, side);
  s.circle = platform::Rect(centre.x - D / 2, centre.y - D / 2, D, D);
  for (int i = 0; i < EnrolmentModel::tickCount; ++i) s.ticks[i] = tick(i, centre, time);

  const auto finished = model_->finished.sample(time);
  const double finishedWeight =
      mix(finished.from ? 1 : 0, finished.to ? 1 : 0, finished.fraction);
  s.showsPreview = model_->preview.value() != nullptr;
  s.previewOpacity = s.showsPreview ? mix(1, kFinishedImageOpacity, finishedWeight) : 0;

  s.ringGreen = model_->centreCaptured.value();
  s.ringOpacity = s.ringGreen ? 0.3 : 0.14;

  if (finished.to) {
    CheckLayout check;
    check.size = kCheckSize * D;
    check.frame = platform::Rect(centre.x - check.size / 2, centre.y - check.size / 2, check.size,
                                 check.size);
    // Shown afresh each time `finished` turns true (not when it is set true again): drawn on
    // from its left end while it grows from 70 % to full size.
    const double shownFor = time - checkShownAt_;
    check.drawn = std::clamp(Animation::easeOut(0.34).fraction(shownFor), 0.0, 1.0);
    check.scale = mix(0.7, 1, Animation::spring(0.36, 0.6, 0).fraction(shownFor));
    check.lineWidth = kCheckLine * check.size;
    check.opacity = finishedWeight;
    s.check = check;
  }
  return s;
}

QPainterPath FaceScanView::centredCheck(const QRectF& rect) {
  const double u = std::min(rect.width(), rect.height()) / 100;
  QPainterPath path;
  path.moveTo(rect.left() + 27 * u, rect.top() + 51 * u);
  path.lineTo(rect.left() + 43 * u, rect.top() + 67 * u);
  path.lineTo(rect.left() + 73 * u, rect.top() + 33 * u);
  return path;
}

QImage FaceScanView::render(double scale) {
  platform::windows::ensureGuiApplication();
  const double side = frameSide(diameter_);
  platform::windows::HostingView host(nullptr);
  host.setFrame(platform::Rect(0, 0, side, side));
  // Draw through a host that does not own us.
  host.setRootView(std::shared_ptr<platform::windows::View>(std::shared_ptr<void>(), this));
  return host.render(scale);
}

void FaceScanView::draw(QPainter& painter, const platform::Rect& bounds) {
  const Structure s = structure(bounds);
  const QColor& green = quorvelGreen();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);

  // 1. The ticks: capsules 3 wide, turned about the view's centre.
  const QPointF centre(s.circle.midX(), s.circle.midY());
  for (const TickLayout& t : s.ticks) {
    painter.save();
    painter.translate(centre);
    painter.rotate(t.rotation);
    const double reach = 0.5 * diameter_ + kTickGap * diameter_;
    const QRectF capsule(-t.width / 2, -(reach + t.length), t.width, t.length);
    QPainterPath path;
    path.addRoundedRect(capsule, t.width / 2, t.width / 2);
    painter.fillPath(path, withOpacity(green, t.opacity));
    painter.restore();
  }

  // 2. The faint disc.
  const QRectF circle = toQ(s.circle);
  QPainterPath disc;
  disc.addEllipse(circle);
  painter.fillPath(disc, withOpacity(Qt::white, s.discOpacity));

  // 3. The mirrored camera image, filling the circle.
  if (const auto& preview = model_->preview.value();
      preview && preview->width > 0 && preview->height > 0 &&
      preview->format == platform::image::BitmapFormat::BGRA8) {
    const QImage image(preview->bytes.data(), preview->width, preview->height,
                       static_cast<qsizetype>(preview->bytesPerRow),
                       QImage::Format_ARGB32_Premultiplied);
    const double fill = std::max(circle.width() / preview->width,
                                 circle.height() / preview->height);
    const double w = preview->width * fill;
    const double h = preview->height * fill;
    painter.save();
    painter.setClipPath(disc, Qt::IntersectClip);
    painter.setOpacity(painter.opacity() * s.previewOpacity);
    painter.translate(centre);
    painter.scale(-1, 1);
    painter.drawImage(QRectF(-w / 2, -h / 2, w, h), image);
    painter.restore();
  }

  // 4. The ring.
  const QColor ring = s.ringGreen ? withOpacity(green, s.ringOpacity)
                                  : withOpacity(Qt::white, s.ringOpacity);
  painter.strokePath(disc, QPen(ring, s.ringWidth));

  // 5. The completion check.
  if (s.check && s.check->drawn > 0) {
    const QRectF frame = toQ(s.check->frame);
    painter.save();
    painter.setOpacity(painter.opacity() * std::clamp(s.check->opacity, 0.0, 1.0));
    painter.translate(frame.center());
    painter.scale(s.check->scale, s.check->scale);
    painter.translate(-frame.center());
    const QPainterPath path = trimmedPath(centredCheck(frame), 0, s.check->drawn);
    painter.strokePath(path, QPen(green, s.check->lineWidth, Qt::SolidLine, Qt::RoundCap,
                                  Qt::RoundJoin));
    painter.restore();
  }
  painter.restore();
}

}  // namespace quorvel
