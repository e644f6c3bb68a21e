#include "onboarding/tutorial_view.hpp"

#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

#include <algorithm>
#include <cmath>

#include "overlay/glyphs.hpp"
#include "overlay/notch_panel_shape.hpp"
#include "platform/symbols/symbol_set.hpp"

namespace quorvel {
namespace {

using Kind = TutorialView::Element::Kind;
using platform::animation::Animation;

constexpr double kTop = 14;
constexpr double kSide = 34;
constexpr double kBottom = 12;
constexpr double kStackSpacing = 12;
constexpr double kControlSpacing = 10;
constexpr double kDotSide = 5;
constexpr double kDotSpacing = 5;
constexpr double kControlFontSize = 13;
constexpr double kTitleFontSize = 15;
constexpr double kCaptionFontSize = 12;
constexpr double kHintFontSize = 11;
constexpr double kHintOpacity = 0.35;
constexpr double kCaptionOpacity = 0.62;
constexpr double kFieldFontSize = 13;
constexpr const char* kPlaceholder = "Login password";
constexpr const char* kHandSymbol = "hand.raised.fill";
constexpr double kHandSize = 34;

QRectF toQ(const platform::Rect& r) { return QRectF(r.minX(), r.minY(), r.width(), r.height()); }

QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(std::clamp(color.alphaF() * opacity, 0.0, 1.0)));
  return color;
}

QPen strokePen(const QColor& color, double width) {
  return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QFont fontOf(double size, bool medium) {
  platform::windows::ensureGuiApplication();
  QFont font;
  font.setPixelSize(static_cast<int>(size));
  font.setWeight(medium ? QFont::Medium : QFont::Normal);
  return font;
}

// The size text needs at `size`, wrapped onto as many lines as `width` asks for.
platform::Size textSize(const std::string& text, double size, bool medium, double width) {
  const QFontMetricsF metrics(fontOf(size, medium));
  const QRectF box = metrics.boundingRect(QRectF(0, 0, width, 1e6),
                                          Qt::AlignHCenter | Qt::TextWordWrap,
                                          QString::fromStdString(text));
  return {std::ceil(std::min(box.width(), width)), std::ceil(box.height())};
}

double lineHeight(double size, bool medium) {
  return std::ceil(QFontMetricsF(fontOf(size, medium)).height());
}

std::size_t characterCount(const std::string& utf8) {
  return static_cast<std::size_t>(std::count_if(
      utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string masked(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < characterCount(text); ++i) result += "\u2022";
  return result;
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

bool cameraNeedsSettings() { return TutorialModel::cameraNeedsSettings(); }

double spacingOf(TutorialStep step) {
  switch (step) {
    case TutorialStep::face: return 6;
    case TutorialStep::camera:
    case TutorialStep::password:
    case TutorialStep::accessibility: return 10;
    default: return 12;
  }
}

}  // namespace

TutorialView::TutorialView(std::shared_ptr<TutorialModel> model)
    : model_(std::move(model)),
      scanView_(std::make_shared<FaceScanView>(model_->enrolment(), scanDiameter)),
      stepShownAt_(platform::animation::currentTime()) {
  hint_.to = model_->blockedReason();
  modelSubscription_ = model_->subscribe([this](const platform::animation::Change& change) {
    // A new step body starts with fresh animation flags.
    if (change.field == "step") stepShownAt_ = change.time;
    noteChange(change);
    if (onNeedsDisplay) onNeedsDisplay();
  });
  enrolmentSubscription_ =
      model_->enrolment()->subscribe([this](const platform::animation::Change& change) {
        noteChange(change);
        // The face step sees the scan finish (not a scan that had finished before).
        if (change.field != "finished" || model_->step.value() != TutorialStep::face) return;
        const bool becomesTrue = std::get_if<bool>(&change.newValue) && std::get<bool>(change.newValue);
        if (becomesTrue && !model_->enrolment()->finished.value()) model_->scanFinished();
      });
}

TutorialView::~TutorialView() {
  model_->unsubscribe(modelSubscription_);
  model_->enrolment()->unsubscribe(enrolmentSubscription_);
}

void TutorialView::noteChange(const platform::animation::Change& change) {
  // Of the changes made before the next layout, the first animated one carries the hint's
  // transition (a flag set outside an animation, then the step moved inside one, fade together).
  if (!changePending_ || (!pendingAnimation_ && change.animation)) {
    pendingAnimation_ = change.animation;
    pendingAt_ = change.time;
  }
  changePending_ = true;
}

void TutorialView::settleHint() const {
  const std::optional<std::string> now = model_->blockedReason();
  if (now != hint_.to) {
    hint_.from = hint_.to;
    hint_.to = now;
    hint_.animation = changePending_ ? pendingAnimation_ : std::nullopt;
    hint_.at = pendingAt_;
  }
  changePending_ = false;
}

platform::Size TutorialView::windowSize(TutorialStep step) {
  const auto size = tutorial_step::size(step);
  return {size.width + windowExtraWidth, size.height};
}

std::vector<TutorialView::Element> TutorialView::body(TutorialStep step, double width,
                                                      double time) const {
  const double elapsed = std::max(0.0, time - stepShownAt_);
  std::vector<Element> items;
  const auto caption = [&](const std::string& text, double opacity = 1) {
    Element e;
    e.kind = Kind::caption;
    e.text = text;
    e.fontSize = kCaptionFontSize;
    e.opacity = opacity;
    const auto size = textSize(text, kCaptionFontSize, false, width);
    e.frame = platform::Rect(0, 0, size.width, size.height);
    items.push_back(e);
  };
  const auto greenButton = [&](const std::string& label) {
    Element e;
    e.kind = Kind::greenButton;
    e.text = label;
    const auto size = textSize(label, kCaptionFontSize, true, 1e6);
    e.frame = platform::Rect(0, 0, size.width + 28, size.height + 12);
    items.push_back(e);
  };
  const auto granted = [&](const std::string& label) {
    Element e;
    e.kind = Kind::granted;
    e.text = label;
    const auto size = textSize(label, kCaptionFontSize, true, 1e6);
    e.frame = platform::Rect(0, 0, 12 + 5 + size.width, std::max(12.0, size.height));
    items.push_back(e);
  };
  const auto square = [&](Kind kind, double side) {
    Element e;
    e.kind = kind;
    e.frame = platform::Rect(0, 0, side, side);
    items.push_back(e);
    return &items.back();
  };

  switch (step) {
    case TutorialStep::welcome: {
      auto* glyph = square(Kind::faceGlyph, 46);
      const double f = Animation::easeInOut(1.4).repeatForever(false).fraction(elapsed);
      glyph->sweepOffset = -30 + 60 * f;
      caption("Look at your Mac and it unlocks. Four quick steps.");
      break;
    }
    case TutorialStep::camera: {
      const bool settings = cameraNeedsSettings();
      caption(settings ? "Camera access is switched off for Quorvel. Turn it on in System "
                         "Settings \u2014 this will notice when you do."
                       : "Quorvel needs the built-in camera to recognise you. Nothing it sees "
                         "ever leaves this Mac.");
      if (model_->cameraGranted) {
        granted("Camera allowed");
      } else {
        greenButton(settings ? "Open System Settings" : "Allow camera");
      }
      break;
    }
    case TutorialStep::face: {
      square(Kind::scan, FaceScanView::frameSide(scanDiameter));
      const auto& enrolment = *model_->enrolment();
      caption(enrolment.finished ? std::string("Got it.") : enrolment.instruction.value());
      break;
    }
    case TutorialStep::password: {
      caption("The password you use to log in. Quorvel types it for you when it recognises "
              "your face.");
      Element field;
      field.kind = Kind::secureField;
      field.fontSize = kFieldFontSize;
      field.placeholder = model_->password.value().empty();
      field.text = field.placeholder ? kPlaceholder : masked(model_->password);
      field.frame = platform::Rect(0, 0, width, lineHeight(kFieldFontSize, false) + 14);
      items.push_back(field);
      if (model_->passwordSaved) {
        granted("Password saved");
      } else {
        greenButton("Save");
      }
      if (const auto& error = model_->passwordSaveError.value()) {
        Element e;
        e.kind = Kind::errorText;
        e.text = *error;
        e.fontSize = kHintFontSize;
        const auto size = textSize(*error, kHintFontSize, false, width);
        e.frame = platform::Rect(0, 0, size.width, size.height);
        items.push_back(e);
      }
      break;
    }
    case TutorialStep::accessibility:
      caption("macOS won't let any app type your password without your permission. Switch "
              "Quorvel on in the window that opens, then come back \u2014 this will notice.");
      if (model_->accessibilityGranted) {
        granted("Permission granted");
      } else {
        greenButton("Open System Settings");
      }
      break;
    case TutorialStep::palm: {
      auto* hand = square(Kind::hand, kHandSize);
      const double f = Animation::spring(0.5, 0.7).fraction(elapsed);
      hand->scale = 0.82 + 0.18 * f;
      hand->opacity = clamp01(0.35 + 0.65 * f);
      caption("Locking your Mac while you are sitting right in front of it means Quorvel can "
              "see you, and unlock it again straight away. Hold a hand up to the camera and it "
              "will stop looking, so the Mac stays locked.");
      caption("You can turn this off from the menu bar icon at any time.", 0.75);
      break;
    }
    case TutorialStep::ready: {
      auto* tick = square(Kind::tick, 40);
      tick->drawn = clamp01(Animation::easeOut(0.4).fraction(elapsed));
      caption("Lock your Mac and look at it. Everything else lives in the menu bar icon.");
      break;
    }
  }
  return items;
}

TutorialView::Structure TutorialView::structure(const platform::Rect& bounds, double time) const {
  Structure s;
  s.bounds = bounds;
  s.panelSize = {bounds.width() - windowExtraWidth, bounds.height()};
  s.step = model_->step;
  const double left = bounds.minX() + kSide;
  const double width = std::max(0.0, bounds.width() - 2 * kSide);
  const double midX = bounds.midX();

  // Header: the new title fades in while the old one fades out.
  const auto sample = model_->step.sample(time);
  const double titleHeight = lineHeight(kTitleFontSize, true);
  const auto titleAt = [&](TutorialStep step, double opacity) {
    const std::string text = tutorial_step::title(step);
    const auto size = textSize(text, kTitleFontSize, true, width);
    return Title{text,
                 platform::Rect(midX - size.width / 2, bounds.minY() + kTop, size.width, titleHeight),
                 clamp01(opacity)};
  };
  if (sample.fraction < 1 && sample.from != sample.to) {
    s.titles.push_back(titleAt(sample.from, 1 - sample.fraction));
    s.titles.push_back(titleAt(sample.to, sample.fraction));
  } else {
    s.titles.push_back(titleAt(s.step, 1));
  }

  // Content, stacked under the header.
  double y = bounds.minY() + kTop + titleHeight + kStackSpacing;
  const double spacing = spacingOf(s.step);
  s.body = body(s.step, width, time);
  for (std::size_t i = 0; i < s.body.size(); ++i) {
    auto& e = s.body[i];
    if (i > 0) y += spacing;
    e.frame = platform::Rect(midX - e.frame.width() / 2, y, e.frame.width(), e.frame.height());
    y += e.frame.height();
  }

  // Controls along the bottom.
  const double rowHeight = lineHeight(kControlFontSize, false);
  const double rowTop = bounds.maxY() - kBottom - rowHeight;
  const bool onWelcome = s.step == TutorialStep::welcome;
  const auto backSize = textSize("Back", kControlFontSize, false, 1e6);
  s.back = Control{"Back", platform::Rect(left, rowTop, backSize.width, rowHeight), !onWelcome,
                   false, onWelcome ? 0.2 : 0.55};
  const bool onReady = s.step == TutorialStep::ready;
  const std::string nextLabel = onReady ? "Done" : "Next";
  const auto nextSize = textSize(nextLabel, kControlFontSize, true, 1e6);
  const bool canAdvance = model_->canAdvance();
  s.next = Control{nextLabel,
                   platform::Rect(left + width - nextSize.width, rowTop, nextSize.width, rowHeight),
                   canAdvance, canAdvance, canAdvance ? 1.0 : 0.22};
  // The dots sit between two equal flexible spacers.
  const double dotsWidth = 7 * kDotSide + 6 * kDotSpacing;
  const double gapLeft = s.back.frame.maxX() + kControlSpacing;
  const double gapRight = s.next.frame.minX() - kControlSpacing;
  double x = (gapLeft + gapRight) / 2 - dotsWidth / 2;
  for (TutorialStep step : tutorial_step::allCases) {
    s.dots.push_back(Dot{platform::Rect(x, rowTop + (rowHeight - kDotSide) / 2, kDotSide, kDotSide),
                         step == s.step});
    x += kDotSide + kDotSpacing;
  }

  settleHint();
  const double shown =
      hint_.animation ? clamp01(hint_.animation->fraction(time - hint_.at)) : 1.0;
  const auto hintAt = [&](const std::string& text, double opacity) {
    const auto size = textSize(text, kHintFontSize, false, width);
    return Title{text,
                 platform::Rect(midX - size.width / 2, rowTop - kStackSpacing - size.height,
                                size.width, size.height),
                 kHintOpacity * opacity};
  };
  if (hint_.to) s.hint = hintAt(*hint_.to, shown);
  if (hint_.from && shown < 1) s.leavingHint = hintAt(*hint_.from, 1 - shown);
  return s;
}

TutorialView::Structure TutorialView::structure(const platform::Rect& bounds) const {
  return structure(bounds, platform::animation::currentTime());
}

QImage TutorialView::render(platform::Size canvas, double scale) {
  platform::windows::ensureGuiApplication();
  platform::windows::HostingView host(nullptr);
  host.setFrame(platform::Rect(0, 0, canvas.width, canvas.height));
  // Draw through a host that does not own us.
  host.setRootView(std::shared_ptr<platform::windows::View>(std::shared_ptr<void>(), this));
  return host.render(scale);
}

void TutorialView::draw(QPainter& painter, const platform::Rect& bounds) {
  const double time = platform::animation::currentTime();
  const Structure s = structure(bounds, time);
  const QColor& green = quorvelGreen();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setClipRect(toQ(bounds), Qt::IntersectClip);

  // The panel: the notch grown open, its body exactly the step's size.
  const NotchPanelShape panel(NotchPanelGeometry(s.panelSize.width, s.panelSize.height,
                                                 s.panelSize.width, s.panelSize.height, fillet),
                              1, bottomRadius, bottomRadius);
  painter.fillPath(panel.path(toQ(bounds)), Qt::black);

  const auto drawText = [&](const platform::Rect& frame, const std::string& text, double size,
                            bool medium, const QColor& colour, int flags) {
    painter.setFont(fontOf(size, medium));
    painter.setPen(colour);
    painter.drawText(toQ(frame).adjusted(-1, 0, 1, 0), flags, QString::fromStdString(text));
  };
  const int wrapped = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;

  for (const auto& title : s.titles) {
    drawText(title.frame, title.text, kTitleFontSize, true, withOpacity(Qt::white, title.opacity),
             Qt::AlignCenter);
  }

  for (const auto& e : s.body) {
    const QRectF r = toQ(e.frame);
    switch (e.kind) {
      case Kind::caption:
        drawText(e.frame, e.text, e.fontSize, false,
                 withOpacity(Qt::white, kCaptionOpacity * e.opacity), wrapped);
        break;
      case Kind::errorText:
        drawText(e.frame, e.text, e.fontSize, false, QColor(255, 149, 0), wrapped);
        break;
      case Kind::greenButton: {
        QPainterPath capsule;
        capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
        painter.fillPath(capsule, green);
        drawText(e.frame, e.text, kCaptionFontSize, true, Qt::black, Qt::AlignCenter);
        break;
      }
      case Kind::granted: {
        const QRectF tickRect(r.left(), r.center().y() - 6, 12, 12);
        painter.strokePath(TickGlyph().path(tickRect), strokePen(green, 10));
        drawText(platform::Rect(r.left() + 17, r.top(), r.width() - 17, r.height()), e.text,
                 kCaptionFontSize, true, green, Qt::AlignLeft | Qt::AlignVCenter);
        break;
      }
      case Kind::faceGlyph: {
        const QPainterPath face = FaceIDGlyph().path(r);
        painter.strokePath(face, strokePen(withOpacity(green, 0.35), 6));
        // The bright band: the glyph masked by a vertical gradient 34 high (clear beyond it).
        QImage layer(painter.device()->width(), painter.device()->height(),
                     QImage::Format_ARGB32_Premultiplied);
        layer.fill(Qt::transparent);
        {
          QPainter lp(&layer);
          lp.setRenderHint(QPainter::Antialiasing);
          lp.setTransform(painter.transform());
          lp.strokePath(face, strokePen(green, 6));
          lp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
          const double centre = r.center().y() + e.sweepOffset;
          QLinearGradient band(0, centre - 17, 0, centre + 17);
          band.setColorAt(0, QColor(255, 255, 255, 0));
          band.setColorAt(1.0 / 3, QColor(255, 255, 255, 255));
          band.setColorAt(2.0 / 3, QColor(255, 255, 255, 255));
          band.setColorAt(1, QColor(255, 255, 255, 0));
          lp.fillRect(r.adjusted(-8, -8, 8, 8), band);
        }
        painter.save();
        painter.resetTransform();
        painter.drawImage(QPointF(0, 0), layer);
        painter.restore();
        break;
      }
      case Kind::hand:
        if (const auto path = platform::symbols::symbolPath(kHandSymbol, kHandSize)) {
          painter.save();
          painter.setOpacity(painter.opacity() * e.opacity);
          painter.translate(r.center());
          painter.scale(e.scale, e.scale);
          painter.fillPath(*path, green);
          painter.restore();
        }
        break;
      case Kind::tick:
        if (e.drawn > 0) {
          painter.strokePath(trimmedPath(TickGlyph().path(r), 0, e.drawn), strokePen(green, 7));
        }
        break;
      case Kind::secureField: {
        QPainterPath background;
        background.addRoundedRect(r, 7, 7);
        painter.fillPath(background, withOpacity(Qt::white, 0.08));
        const platform::Rect inner(e.frame.minX() + 10, e.frame.minY() + 7, e.frame.width() - 20,
                                   e.frame.height() - 14);
        drawText(inner, e.text, e.fontSize, false,
                 e.placeholder ? withOpacity(Qt::white, 0.3) : QColor(Qt::white),
                 Qt::AlignLeft | Qt::AlignVCenter);
        break;
      }
      case Kind::scan:
        scanView_->draw(painter, e.frame);
        break;
    }
  }

  for (const auto& hint : {s.leavingHint, s.hint}) {
    if (!hint) continue;
    drawText(hint->frame, hint->text, kHintFontSize, false,
             withOpacity(Qt::white, hint->opacity), wrapped);
  }
  drawText(s.back.frame, s.back.label, kControlFontSize, false,
           withOpacity(Qt::white, s.back.opacity), Qt::AlignLeft | Qt::AlignVCenter);
  drawText(s.next.frame, s.next.label, kControlFontSize, true,
           s.next.green ? green : withOpacity(Qt::white, s.next.opacity),
           Qt::AlignRight | Qt::AlignVCenter);
  for (const auto& dot : s.dots) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(dot.current ? green : withOpacity(Qt::white, 0.22));
    painter.drawEllipse(toQ(dot.frame));
  }
  painter.restore();
}

bool TutorialView::click(const platform::Rect& bounds, platform::Point point) {
  const Structure s = structure(bounds);
  const auto contains = [&](const platform::Rect& r) {
    return point.x >= r.minX() && point.x <= r.maxX() && point.y >= r.minY() && point.y <= r.maxY();
  };
  if (contains(s.back.frame)) {
    if (!s.back.enabled) return false;
    model_->back();
    return true;
  }
  if (contains(s.next.frame)) {
    if (!s.next.enabled) return false;
    if (s.step == TutorialStep::ready) {
      model_->finish();
    } else {
      model_->next();
    }
    return true;
  }
  for (const auto& e : s.body) {
    if (e.kind == Kind::greenButton && contains(e.frame)) {
      pressGreenButton();
      return true;
    }
  }
  return false;
}

void TutorialView::pressGreenButton() {
  switch (model_->step.value()) {
    case TutorialStep::camera: model_->requestCamera(); break;
    case TutorialStep::password: model_->savePassword(); break;
    case TutorialStep::accessibility: model_->requestAccessibility(); break;
    default: break;
  }
}

void TutorialView::typePassword(const std::string& text) { model_->password = text; }

bool TutorialView::keyDown(const platform::windows::KeyPress& key, const platform::Rect&) {
  using Key = platform::windows::KeyPress::Key;
  if (model_->step.value() != TutorialStep::password) return false;
  if (key.key == Key::returnKey) {
    submitPassword();
    return true;
  }
  if (key.key != Key::backspace && key.text.empty()) return false;
  // The field's text as edited; this copy of the password is wiped before it is released.
  std::string text = model_->password.value();
  if (key.key == Key::backspace) {
    // Drops the last character (its UTF-8 continuation bytes with it).
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
    if (!text.empty()) text.pop_back();
  } else {
    text += key.text;
  }
  typePassword(text);
  volatile char* bytes = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
  return true;
}

void TutorialView::submitPassword() { model_->savePassword(); }

}  // namespace quorvel
