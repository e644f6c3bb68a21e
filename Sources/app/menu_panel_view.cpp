#include "app/menu_panel_view.hpp"

#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QString>

#include <algorithm>
#include <cmath>

#include "platform/symbols/symbol_set.hpp"

namespace quorvel {
namespace {

using Element = MenuPanelView::Element;
using Item = MenuPanelView::Item;
using Kind = MenuPanelView::Element::Kind;
using Tint = MenuPanelView::Tint;

// Metrics in points. A text line is about 1.2 times its font size tall.
constexpr double kRowPaddingX = 14;
constexpr double kRowPaddingY = 6;
constexpr double kRowSpacing = 10;       // between the symbol, the title, the spacer, the switch
constexpr double kRowSymbolWidth = 16;
constexpr double kRowSymbolSize = 12.5;
constexpr double kRowTitleSize = 13;
constexpr double kRowCornerRadius = 7;
constexpr double kHoverOpacity = 0.08;
constexpr double kSwitchWidth = 28;      // a switch of the small control size
constexpr double kSwitchHeight = 16;
constexpr double kSectionPaddingY = 6;
constexpr double kSectionSpacing = 2;
constexpr double kDividerThickness = 1;
constexpr double kDividerOpacity = 0.5;
constexpr double kHeaderPaddingX = 14;
constexpr double kHeaderPaddingY = 12;
constexpr double kHeaderSpacing = 10;
constexpr double kHeaderSymbolFrame = 28;
constexpr double kHeaderSymbolSize = 20;
constexpr double kHeaderTitleSize = 13;
constexpr double kHeaderStatusSize = 11.5;
constexpr double kHeaderTextSpacing = 1;
constexpr double kSmallTextSize = 11;    // the engine list's heading and the assist caption
constexpr double kHeadingTopPadding = 4;
constexpr double kBorderOpacity = 0.14;

double lineHeight(double fontSize) { return std::ceil(fontSize * 1.2); }

QFont systemFont(double size, QFont::Weight weight = QFont::Normal) {
  QFont font;
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
  font.setWeight(weight);
  return font;
}

QColor toQ(const platform::windows::Color& c) {
  return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green),
                          static_cast<float>(c.blue), static_cast<float>(c.alpha));
}

QColor withOpacity(QColor colour, double opacity) {
  colour.setAlphaF(static_cast<float>(std::clamp(colour.alphaF() * opacity, 0.0, 1.0)));
  return colour;
}

QRectF toQ(const platform::Rect& r) { return QRectF(r.minX(), r.minY(), r.width(), r.height()); }

// How many lines `text` takes when wrapped at word boundaries into `width`.
int wrappedLines(const std::string& text, const QFont& font, double width) {
  if (text.empty()) return 1;
  const QFontMetricsF metrics(font);
  const QRectF used = metrics.boundingRect(QRectF(0, 0, width, 1e6),
                                           Qt::TextWordWrap | Qt::AlignLeft,
                                           QString::fromStdString(text));
  return std::max(1, static_cast<int>(std::lround(used.height() / metrics.lineSpacing())));
}

double titleWidth(Kind kind) {
  const double content = MenuPanelView::width - 2 * kRowPaddingX - kRowSymbolWidth - kRowSpacing;
  // The title is followed by the spacer (and, on a switch row, by the switch).
  return kind == Kind::toggle ? content - 2 * kRowSpacing - kSwitchWidth : content - kRowSpacing;
}

// Rows keep to one line where they can: a title up to a fifth too wide is drawn smaller.
constexpr double kMinimumTitleScale = 0.8;

double titleScaleFor(const std::string& title, Kind kind) {
  const double advance =
      QFontMetricsF(systemFont(kRowTitleSize)).horizontalAdvance(QString::fromStdString(title));
  const double available = titleWidth(kind);
  if (advance <= available) return 1;
  const double scale = available / advance;
  return scale >= kMinimumTitleScale ? scale : 1;
}

Element makeRow(Kind kind, Item item, std::string title, std::string symbol,
                Tint tint = Tint::primary, bool isOn = false) {
  Element row;
  row.kind = kind;
  row.item = item;
  row.title = std::move(title);
  row.systemImage = std::move(symbol);
  row.tint = kind == Kind::toggle ? Tint::primary : tint;
  row.isOn = isOn;
  return row;
}

Element toggleRow(Item item, std::string title, std::string symbol, bool isOn) {
  return makeRow(Kind::toggle, item, std::move(title), std::move(symbol), Tint::primary, isOn);
}

Element actionRow(Item item, std::string title, std::string symbol, Tint tint = Tint::primary) {
  return makeRow(Kind::action, item, std::move(title), std::move(symbol), tint);
}

void fillSymbol(QPainter& painter, const std::string& name, double size, const QPointF& centre,
                const QColor& colour) {
  const auto path = platform::symbols::symbolPath(name, size);
  if (!path) return;
  painter.save();
  painter.translate(centre);
  painter.fillPath(*path, colour);
  painter.restore();
}

}  // namespace

MenuPanelView::MenuPanelView(MenuPanelState state, MenuPanelActions actions)
    : state_(std::move(state)), actions_(std::move(actions)) {
  layOut();
}

platform::windows::Color MenuPanelView::colour(Tint tint) {
  switch (tint) {
    case Tint::primary: return {0, 0, 0, 0.85};
    case Tint::secondary: return {0, 0, 0, 0.5};
    case Tint::green: return {0.19, 0.82, 0.35, 1};
    case Tint::orange: return {1.0, 149.0 / 255, 0, 1};
    case Tint::red: return {1.0, 59.0 / 255, 48.0 / 255, 1};
  }
  return {0, 0, 0, 1};
}

void MenuPanelView::layOut() {
  // Text measurement needs the GUI application's fonts.
  platform::windows::ensureGuiApplication();

  // Header.
  header_.systemImage = "faceid";
  header_.symbolTint = state_.statusIsWarning ? Tint::orange : Tint::green;
  header_.title = "Quorvel";
  header_.statusText = state_.statusText;
  const double textX = kHeaderPaddingX + kHeaderSymbolFrame + kHeaderSpacing;
  const double textWidth = width - kHeaderPaddingX - textX;
  {
    const QFontMetricsF metrics(systemFont(kHeaderStatusSize));
    header_.statusLine = metrics.elidedText(QString::fromStdString(state_.statusText),
                                            Qt::ElideRight, textWidth).toStdString();
  }
  const double textHeight =
      lineHeight(kHeaderTitleSize) + kHeaderTextSpacing + lineHeight(kHeaderStatusSize);
  const double headerContent = std::max(kHeaderSymbolFrame, textHeight);
  header_.frame = platform::Rect(0, 0, width, headerContent + 2 * kHeaderPaddingY);
  header_.symbolFrame =
      platform::Rect(kHeaderPaddingX, kHeaderPaddingY + (headerContent - kHeaderSymbolFrame) / 2,
                     kHeaderSymbolFrame, kHeaderSymbolFrame);

  // Sections, as the state asks for them.
  sections_.clear();
  auto add = [&](int number, std::vector<Element> elements) {
    Section section;
    section.number = number;
    section.elements = std::move(elements);
    sections_.push_back(std::move(section));
  };

  add(1, {toggleRow(Item::unlock, "Unlock with my face", "faceid", state_.unlockEnabled)});

  std::vector<Element> setup = {
      actionRow(Item::enrolment, state_.enrolTitle, "person.crop.square"),
      actionRow(Item::tutorial, "Show the tutorial again", "questionmark.circle"),
      actionRow(Item::password, state_.passwordTitle, "key"),
  };
  if (state_.quorvelPasswordTitle) {
    setup.push_back(actionRow(Item::quorvelPassword, *state_.quorvelPasswordTitle, "lock.shield"));
  }
  if (state_.accessibilityWarning) {
    setup.push_back(actionRow(Item::accessibility, "Grant Accessibility permission\u2026",
                              "exclamationmark.triangle", Tint::orange));
  }
  add(2, std::move(setup));

  if (state_.isDeveloper) {
    std::vector<Element> developer = {
        actionRow(Item::testMatch, "Test face match", "checkmark.seal"),
        actionRow(Item::previewAnimation, "Preview the animation", "play.circle"),
    };
    if (!state_.engines.empty()) {
      Element heading;
      heading.kind = Kind::heading;
      heading.title = "Face model";
      heading.tint = Tint::secondary;
      developer.push_back(heading);
      for (const auto& engine : state_.engines) {
        // Whether the entry is selectable is not the panel's business.
        Element row = actionRow(Item::engine, engine.name,
                                engine.isSelected ? "checkmark.circle.fill" : "circle",
                                engine.isSelected ? Tint::green : Tint::primary);
        row.engineName = engine.name;
        developer.push_back(row);
      }
    }
    add(3, std::move(developer));
  }

  std::vector<Element> switches = {
      toggleRow(Item::playAnimation, "Play the notch animation", "sparkles", state_.playAnimation),
      toggleRow(Item::palmToCancel, "Hold up a hand to cancel", "hand.raised",
                state_.palmToCancel),
  };
  if (state_.authorizationAssistAvailable) {
    switches.push_back(toggleRow(Item::authorizationAssist, "Authorize system changes (test)",
                                 "lock.shield", state_.authorizationAssist));
    Element caption;
    caption.kind = Kind::caption;
    caption.title = state_.authorizationAssistStatus;
    caption.tint = Tint::secondary;
    switches.push_back(caption);
  }
  switches.push_back(
      toggleRow(Item::dockIcon, "Show Quorvel in the Dock", "dock.rectangle", state_.showInDock));
  switches.push_back(
      toggleRow(Item::loginItem, "Open Quorvel at login", "power", state_.openAtLogin));
  add(4, std::move(switches));

  add(5, {actionRow(Item::checkForUpdates, "Check for Updates\u2026",
                    "arrow.triangle.2.circlepath")});
  add(6, {actionRow(Item::forgetFace, "Forget my face", "trash", Tint::red),
          actionRow(Item::quit, "Quit Quorvel", "xmark.circle")});

  // Frames, top to bottom.
  double y = header_.frame.maxY();
  for (auto& section : sections_) {
    section.divider = platform::Rect(0, y, width, kDividerThickness);
    y += kDividerThickness;
    const double top = y;
    y += kSectionPaddingY;
    bool first = true;
    for (auto& element : section.elements) {
      if (!first) y += kSectionSpacing;
      first = false;
      double height = 0;
      switch (element.kind) {
        case Kind::action:
        case Kind::toggle: {
          element.titleScale = titleScaleFor(element.title, element.kind);
          const int lines = element.titleScale < 1 ? 1
                                                   : wrappedLines(element.title, systemFont(kRowTitleSize),
                                                                  titleWidth(element.kind));
          double content = std::max(lines * lineHeight(kRowTitleSize), lineHeight(kRowSymbolSize));
          if (element.kind == Kind::toggle) content = std::max(content, kSwitchHeight);
          height = content + 2 * kRowPaddingY;
          break;
        }
        case Kind::heading:
          height = kHeadingTopPadding + lineHeight(kSmallTextSize);
          break;
        case Kind::caption: {
          const int lines = wrappedLines(element.title, systemFont(kSmallTextSize),
                                         width - 2 * kRowPaddingX);
          height = lines * lineHeight(kSmallTextSize);
          break;
        }
      }
      element.frame = platform::Rect(0, y, width, height);
      y += height;
    }
    y += kSectionPaddingY;
    section.frame = platform::Rect(0, top, width, y - top);
  }
  height_ = y;
}

MenuPanelView::Header MenuPanelView::header() const { return header_; }

std::vector<MenuPanelView::Section> MenuPanelView::sections() const {
  std::vector<Section> result = sections_;
  for (auto& section : result) {
    for (auto& element : section.elements) {
      element.hovering = element.isRow() && hovered_ &&
                         *hovered_ == RowKey{*element.item, element.engineName};
    }
  }
  return result;
}

std::vector<MenuPanelView::Element> MenuPanelView::rows() const {
  std::vector<Element> result;
  for (const auto& section : sections()) {
    for (const auto& element : section.elements) {
      if (element.isRow()) result.push_back(element);
    }
  }
  return result;
}

std::optional<MenuPanelView::Element> MenuPanelView::row(Item item) const {
  for (const auto& element : rows()) {
    if (element.item == item && item != Item::engine) return element;
  }
  return std::nullopt;
}

std::optional<MenuPanelView::Element> MenuPanelView::engineRow(const std::string& name) const {
  for (const auto& element : rows()) {
    if (element.item == Item::engine && element.engineName == name) return element;
  }
  return std::nullopt;
}

platform::Size MenuPanelView::size() const { return {width, height_}; }

QFont MenuPanelView::rowTitleFont() { return systemFont(kRowTitleSize); }
double MenuPanelView::rowTitleWidth(Element::Kind kind) { return titleWidth(kind); }

const MenuPanelView::Element* MenuPanelView::find(const RowKey& key) const {
  for (const auto& section : sections_) {
    for (const auto& element : section.elements) {
      if (element.isRow() && *element.item == key.item && element.engineName == key.engineName) {
        return &element;
      }
    }
  }
  return nullptr;
}

bool MenuPanelView::activate(Item item) {
  if (item == Item::engine) return false;  // engine rows are chosen by name
  const Element* element = find({item, {}});
  if (!element) return false;
  run(*element);
  return true;
}

bool MenuPanelView::activateEngine(const std::string& name) {
  const Element* element = find({Item::engine, name});
  if (!element) return false;
  run(*element);
  return true;
}

std::vector<platform::Rect> MenuPanelView::focusableFrames(const platform::Rect&) const {
  std::vector<platform::Rect> frames;
  for (const auto& element : rows()) frames.push_back(element.frame);
  return frames;
}

bool MenuPanelView::click(platform::Point point) {
  for (const auto& section : sections_) {
    for (const auto& element : section.elements) {
      if (element.isRow() && element.frame.contains(point)) {
        run(element);
        return true;
      }
    }
  }
  return false;
}

void MenuPanelView::hover(std::optional<platform::Point> point) {
  hovered_.reset();
  if (!point) return;
  for (const auto& section : sections_) {
    for (const auto& element : section.elements) {
      if (element.isRow() && element.frame.contains(*point)) {
        hovered_ = RowKey{*element.item, element.engineName};
        return;
      }
    }
  }
}

void MenuPanelView::run(const Element& element) {
  // The callbacks are copied first: a callback may replace (and so destroy) this view.
  std::function<void()> action;
  switch (*element.item) {
    case Item::unlock: action = actions_.toggleUnlock; break;
    case Item::enrolment: action = actions_.showEnrolment; break;
    case Item::tutorial: action = actions_.showTutorial; break;
    case Item::password: action = actions_.setPassword; break;
    case Item::quorvelPassword: action = actions_.setQuorvelPassword; break;
    case Item::accessibility: action = actions_.grantAccessibility; break;
    case Item::testMatch: action = actions_.runTest; break;
    case Item::previewAnimation: action = actions_.previewAnimation; break;
    case Item::engine:
      if (auto choose = actions_.chooseEngine) {
        action = [choose, name = element.engineName] { choose(name); };
      }
      break;
    case Item::playAnimation: action = actions_.toggleAnimation; break;
    case Item::palmToCancel: action = actions_.togglePalmToCancel; break;
    case Item::authorizationAssist: action = actions_.toggleAuthorizationAssist; break;
    case Item::dockIcon: action = actions_.toggleDockIcon; break;
    case Item::loginItem: action = actions_.toggleLoginItem; break;
    case Item::checkForUpdates: action = actions_.checkForUpdates; break;
    case Item::forgetFace: action = actions_.forgetFace; break;
    case Item::quit: action = actions_.quit; break;
  }
  // An action row closes the panel after its action; a switch row leaves it open.
  std::function<void()> close = element.kind == Kind::action ? actions_.close : nullptr;
  if (action) action();
  if (close) close();
}

QImage MenuPanelView::render(double scale) {
  platform::windows::ensureGuiApplication();
  platform::windows::HostingView host(nullptr);
  host.setFrame(platform::Rect(0, 0, width, height_));
  // Draw through a host that does not own us.
  host.setRootView(std::shared_ptr<platform::windows::View>(std::shared_ptr<void>(), this));
  return host.render(scale);
}

void MenuPanelView::draw(QPainter& painter, const platform::Rect& bounds) {
  platform::windows::ensureGuiApplication();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.translate(bounds.minX(), bounds.minY());

  const QRectF panel(0, 0, width, height_);
  QPainterPath outline;
  outline.addRoundedRect(panel, cornerRadius, cornerRadius);
  painter.setClipPath(outline, Qt::IntersectClip);

  // The glass: the popover material of the light appearance, a little lighter at the top.
  QLinearGradient glass(panel.topLeft(), panel.bottomLeft());
  glass.setColorAt(0, QColor(248, 248, 248, 242));
  glass.setColorAt(1, QColor(238, 238, 238, 242));
  painter.fillRect(panel, glass);

  const QColor primary = toQ(colour(Tint::primary));
  const QColor secondary = toQ(colour(Tint::secondary));

  // Header.
  fillSymbol(painter, header_.systemImage, kHeaderSymbolSize, toQ(header_.symbolFrame).center(),
             toQ(colour(header_.symbolTint)));
  {
    const double textX = header_.symbolFrame.maxX() + kHeaderSpacing;
    const double textHeight =
        lineHeight(kHeaderTitleSize) + kHeaderTextSpacing + lineHeight(kHeaderStatusSize);
    const double top = header_.frame.midY() - textHeight / 2;
    const double textWidth = width - kHeaderPaddingX - textX;
    painter.setPen(primary);
    painter.setFont(systemFont(kHeaderTitleSize, QFont::DemiBold));
    painter.drawText(QRectF(textX, top, textWidth, lineHeight(kHeaderTitleSize)),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     QString::fromUtf8(header_.title.c_str()));
    painter.setPen(secondary);
    painter.setFont(systemFont(kHeaderStatusSize));
    painter.drawText(QRectF(textX, top + lineHeight(kHeaderTitleSize) + kHeaderTextSpacing,
                            textWidth, lineHeight(kHeaderStatusSize)),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     QString::fromStdString(header_.statusLine));
  }

  const auto shown = sections();
  for (const auto& section : shown) {
    // Divider: the separator colour at half opacity.
    painter.fillRect(toQ(section.divider), withOpacity(QColor(0, 0, 0, 26), kDividerOpacity));
    for (const auto& element : section.elements) {
      const QRectF frame = toQ(element.frame);
      switch (element.kind) {
        case Kind::heading:
          painter.setPen(secondary);
          painter.setFont(systemFont(kSmallTextSize, QFont::Medium));
          painter.drawText(QRectF(kRowPaddingX, frame.top() + kHeadingTopPadding,
                                  width - 2 * kRowPaddingX, lineHeight(kSmallTextSize)),
                           Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                           QString::fromStdString(element.title));
          break;
        case Kind::caption:
          painter.setPen(secondary);
          painter.setFont(systemFont(kSmallTextSize));
          painter.drawText(QRectF(kRowPaddingX, frame.top(), width - 2 * kRowPaddingX,
                                  frame.height()),
                           Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                           QString::fromStdString(element.title));
          break;
        case Kind::action:
        case Kind::toggle: {
          QPainterPath background;
          background.addRoundedRect(frame, kRowCornerRadius, kRowCornerRadius);
          painter.fillPath(background,
                           withOpacity(primary, element.hovering ? kHoverOpacity : 0));
          const QColor tint = toQ(colour(element.tint));
          const QRectF content = frame.adjusted(kRowPaddingX, kRowPaddingY, -kRowPaddingX,
                                                -kRowPaddingY);
          fillSymbol(painter, element.systemImage, kRowSymbolSize,
                     QPointF(content.left() + kRowSymbolWidth / 2, content.center().y()), tint);
          const double titleX = content.left() + kRowSymbolWidth + kRowSpacing;
          painter.setPen(tint);
          painter.setFont(systemFont(kRowTitleSize));
          {
            // Drawn at its scale from the title's left end, on the row's centre line.
            const double s = element.titleScale;
            painter.save();
            painter.translate(titleX, content.center().y());
            painter.scale(s, s);
            painter.drawText(QRectF(0, -content.height() / 2 / s, titleWidth(element.kind) / s,
                                    content.height() / s),
                             Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
                             QString::fromStdString(element.title));
            painter.restore();
          }
          if (element.kind == Kind::toggle) {
            // The switch only shows the state; the whole row takes the click.
            const QRectF track(content.right() - kSwitchWidth,
                               content.center().y() - kSwitchHeight / 2, kSwitchWidth,
                               kSwitchHeight);
            QPainterPath capsule;
            capsule.addRoundedRect(track, kSwitchHeight / 2, kSwitchHeight / 2);
            painter.fillPath(capsule, element.isOn ? QColor::fromRgbF(0.0f, 0.478f, 1.0f)
                                                   : QColor(0, 0, 0, 30));
            const double knob = kSwitchHeight - 3;
            const double knobX = element.isOn ? track.right() - 1.5 - knob : track.left() + 1.5;
            const QRectF knobRect(knobX, track.top() + 1.5, knob, knob);
            painter.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
            painter.setBrush(Qt::white);
            painter.drawEllipse(knobRect);
            painter.setBrush(Qt::NoBrush);
          }
          break;
        }
      }
    }
  }

  // The inner border of the rounded panel.
  painter.setClipping(false);
  painter.setPen(QPen(withOpacity(Qt::white, kBorderOpacity), 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(panel.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5,
                          cornerRadius - 0.5);
  painter.restore();
}

}  // namespace quorvel
