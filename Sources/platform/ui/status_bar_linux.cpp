// The linux status bar: a tray icon (QSystemTrayIcon: a StatusNotifierItem where the desktop
// runs a watcher, the XEmbed tray otherwise) and popovers as frameless pop-up windows.
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWidget>

#include <algorithm>
#include <vector>

#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "platform/symbols/symbol_set.hpp"
#include "platform/ui/status_bar_linux.hpp"
#include "platform/windows/windows_linux.hpp"

namespace platform::ui {
namespace {

// Between the pop-up's edge and what it hangs from.
constexpr int kGap = 4;

QIcon iconFor(const std::optional<SymbolImage>& image) {
  if (!image) return QIcon();
  QIcon icon;
  for (int side : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    if (const auto path = symbols::symbolPath(image->symbolName, side * 0.8)) {
      QPainter painter(&pixmap);
      painter.setRenderHint(QPainter::Antialiasing);
      painter.translate(side / 2.0, side / 2.0);
      // A template image takes the bar's text colour. Trays draw on light and dark panels
      // alike, so it is white with a dark edge that shows on either.
      painter.strokePath(*path, QPen(QColor(0, 0, 0, 150), std::max(1.0, side / 16.0)));
      painter.fillPath(*path, Qt::white);
    }
    icon.addPixmap(pixmap);
  }
  return icon;
}

class LinuxStatusBar;

class TrayButton : public StatusButton {
 public:
  explicit TrayButton(std::weak_ptr<LinuxStatusBar> bar);
  ~TrayButton() override { delete tray_.data(); }
  QSystemTrayIcon* icon() const { return tray_.data(); }

 protected:
  void imageChanged() override {
    if (!tray_) return;
    tray_->setIcon(iconFor(image));
    tray_->setToolTip(QString::fromStdString(image ? image->accessibilityDescription : "Quorvel"));
    if (!tray_->isVisible()) tray_->show();
  }

 private:
  void activated(QSystemTrayIcon::ActivationReason reason);

  std::weak_ptr<LinuxStatusBar> bar_;
  QPointer<QSystemTrayIcon> tray_;
};

class LinuxPopover;

// The pop-up window of a popover: draws the content's root view at its fitting size and
// passes clicks, pointer moves and keys to it. A click outside closes it.
class PopupWidget : public QWidget {
 public:
  PopupWidget(std::weak_ptr<LinuxPopover> popover, std::weak_ptr<LinuxStatusBar> bar,
              std::shared_ptr<windows::HostingView> host)
      : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint),
        popover_(std::move(popover)),
        bar_(std::move(bar)),
        host_(std::move(host)) {
    setAttribute(Qt::WA_TranslucentBackground);
    // The click outside that closes the pop-up goes no further: a click on the icon closes
    // the panel rather than opening it again.
    setAttribute(Qt::WA_NoMouseReplay);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
  }

  void detach() { popover_.reset(); }

  QSize fittingSize() const {
    const auto view = rootView();
    const auto size = view ? view->fittingSize() : std::nullopt;
    if (!size) return QSize(300, 300);
    return QSize(static_cast<int>(std::ceil(size->width)), static_cast<int>(std::ceil(size->height)));
  }

  // Hangs the window from `anchor` (global, y down): centred under it and kept on its screen,
  // below it in the upper half of the screen and above it in the lower half.
  void placeAt(const QRect& anchor) {
    anchor_ = anchor;
    const QSize size = fittingSize();
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, size.width(), size.height());
    int x = anchor.center().x() - size.width() / 2;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    int y = anchor.bottom() + 1 + kGap;
    if (anchor.center().y() > area.center().y()) y = anchor.top() - kGap - size.height();
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    setGeometry(x, y, size.width(), size.height());
    windows::shapeToView(*this, rootView());
  }

  // The content changed (a new root view): the new view hears where the pointer, or the
  // keyboard's selection, is.
  void refit() {
    placeAt(anchor_);
    if (auto view = rootView(); view && pointer_) view->mouseMoved(pointer_, bounds());
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (auto view = rootView()) view->draw(painter, bounds());
  }
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override {
    movePointer(Point{event->position().x(), event->position().y()});
  }
  void leaveEvent(QEvent*) override { movePointer(std::nullopt); }
  void keyPressEvent(QKeyEvent* event) override;
  void hideEvent(QHideEvent*) override;

 private:
  // A click (or Return) at `point` of the content.
  void press(Point point);
  std::shared_ptr<windows::View> rootView() const { return host_ ? host_->rootView() : nullptr; }
  Rect bounds() const { return Rect(0, 0, width(), height()); }
  void closeFromHere();
  void movePointer(std::optional<Point> point) {
    pointer_ = point;
    if (auto view = rootView()) view->mouseMoved(point, bounds());
    update();
  }
  // Moves the keyboard's selection to the next (or previous) focusable frame.
  bool moveSelection(int step) {
    const auto view = rootView();
    const auto frames = view ? view->focusableFrames(bounds()) : std::vector<Rect>{};
    if (frames.empty()) return false;
    int current = -1;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (pointer_ && frames[i].contains(*pointer_)) current = static_cast<int>(i);
    }
    const int count = static_cast<int>(frames.size());
    const int next = current < 0 ? (step > 0 ? 0 : count - 1) : (current + step + count) % count;
    movePointer(Point{frames[static_cast<std::size_t>(next)].midX(),
                      frames[static_cast<std::size_t>(next)].midY()});
    return true;
  }

  std::weak_ptr<LinuxPopover> popover_;
  std::weak_ptr<LinuxStatusBar> bar_;
  std::shared_ptr<windows::HostingView> host_;
  QRect anchor_;
  std::optional<Point> pointer_;
};

class LinuxPopover : public Popover {
 public:
  explicit LinuxPopover(std::weak_ptr<LinuxStatusBar> bar) : bar_(std::move(bar)) {}
  ~LinuxPopover() override { closeWindow(); }

  void show(const Rect& relativeTo, RectEdge edge) override;

  void performClose() override {
    if (!isShown()) return;
    closeWindow();
    Popover::performClose();
  }

  // The pop-up window while it is shown (tests look at it).
  QWidget* window() const { return window_.data(); }

 private:
  void closeWindow() {
    if (host_) host_->setChangeHandler(nullptr);
    host_.reset();
    if (auto* window = window_.data()) {
      window->detach();
      window->hide();
      window->deleteLater();
    }
    window_.clear();
  }

  std::weak_ptr<LinuxStatusBar> bar_;
  std::shared_ptr<windows::HostingView> host_;
  QPointer<PopupWidget> window_;
};

class LinuxStatusBar : public StatusBar, public std::enable_shared_from_this<LinuxStatusBar> {
 public:
  std::shared_ptr<StatusItem> makeStatusItem() override {
    auto item = std::make_shared<StatusItem>();
    if (!windows::hasRealDisplay() || !QSystemTrayIcon::isSystemTrayAvailable()) {
      platform::log::Logger("com.tessmin.quorvel", "app")
          .error("No system tray: the status item is not shown");
      return item;
    }
    auto button = std::make_shared<TrayButton>(weak_from_this());
    noteIcon(button->icon());
    item->button = button;
    return item;
  }

  std::shared_ptr<Popover> makePopover() override {
    return std::make_shared<LinuxPopover>(weak_from_this());
  }

  void addGlobalMouseMonitor(std::uint64_t mask, std::function<void()> handler) override {
    monitors_.emplace_back(mask, std::move(handler));
  }

  std::optional<SymbolImage> systemSymbol(const std::string& name,
                                          const std::string& description) override {
    if (!symbols::symbolPath(name, 16)) return std::nullopt;
    return SymbolImage{name, description, false};
  }

  // Where the icon was when it was last clicked (global, y down): its geometry where the tray
  // tells it, else the pointer. Before any click: where the tray shows the icon, if it tells.
  QRect anchor() const {
    if (anchor_.isValid() || !icon_) return anchor_;
    const QRect geometry = icon_->geometry();
    return geometry.isValid() && !geometry.isEmpty() ? geometry : anchor_;
  }
  void noteIcon(QSystemTrayIcon* icon) { icon_ = icon; }
  void noteActivation(const QRect& iconGeometry) {
    anchor_ = iconGeometry.isValid() && !iconGeometry.isEmpty() ? iconGeometry
                                                                 : QRect(QCursor::pos(), QSize(1, 1));
  }

  // A click outside our pop-up: the global monitors hear it.
  void clickedElsewhere(std::uint64_t mask) {
    const auto monitors = monitors_;
    for (const auto& [watched, handler] : monitors) {
      if ((watched & mask) != 0 && handler) handler();
    }
  }

 private:
  std::vector<std::pair<std::uint64_t, std::function<void()>>> monitors_;
  QRect anchor_;
  QPointer<QSystemTrayIcon> icon_;
};

TrayButton::TrayButton(std::weak_ptr<LinuxStatusBar> bar)
    : bar_(std::move(bar)), tray_(new QSystemTrayIcon()) {
  QObject::connect(tray_, &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
}

void TrayButton::activated(QSystemTrayIcon::ActivationReason reason) {
  // A second click within the double-click time is still a click of the button: it comes as
  // DoubleClick instead of Trigger.
  if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick &&
      reason != QSystemTrayIcon::Context) {
    return;
  }
  auto bar = bar_.lock();
  if (!bar || !tray_) return;
  bar->noteActivation(tray_->geometry());
  performClick();
}

void LinuxPopover::show(const Rect& relativeTo, RectEdge edge) {
  Popover::show(relativeTo, edge);
  auto bar = bar_.lock();
  if (!bar || !windows::hasRealDisplay()) return;
  closeWindow();
  host_ = contentViewController;
  auto* window = new PopupWidget(std::static_pointer_cast<LinuxPopover>(shared_from_this()), bar_, host_);
  window_ = window;
  if (host_) {
    QPointer<PopupWidget> guarded(window);
    host_->setChangeHandler([guarded] {
      if (guarded) guarded->refit();
    });
  }
  QRect anchor = bar->anchor();
  if (!anchor.isValid()) anchor = QRect(QCursor::pos(), QSize(1, 1));
  window->placeAt(anchor);
  window->show();
  window->activateWindow();
  window->setFocus();
}

void PopupWidget::mousePressEvent(QMouseEvent* event) {
  if (!rect().contains(event->position().toPoint())) {
    // A click outside the pop-up: it goes to whatever is there, and the pop-up closes.
    if (auto bar = bar_.lock()) {
      bar->clickedElsewhere(event->button() == Qt::RightButton ? event_mask::rightMouseDown
                                                               : event_mask::leftMouseDown);
    }
    closeFromHere();
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  press(Point{event->position().x(), event->position().y()});
}

void PopupWidget::press(Point point) {
  // A row's action may run a modal dialog, which closes this pop-up first; the dialog's own
  // loop may then delete it before the action returns.
  const QPointer<PopupWidget> self(this);
  if (auto view = rootView()) view->mouseDown(point, bounds());
  if (self) update();
}

void PopupWidget::keyPressEvent(QKeyEvent* event) {
  using Key = windows::KeyPress::Key;
  const auto key = windows::keyPressFrom(*event);
  auto view = rootView();
  const QPointer<PopupWidget> self(this);
  if (view && view->keyDown(key, bounds())) {
    if (self) update();
    return;
  }
  switch (key.key) {
    case Key::down:
    case Key::tab: moveSelection(1); break;
    case Key::up:
    case Key::backtab: moveSelection(-1); break;
    case Key::returnKey:
    case Key::space:
      if (pointer_) press(*pointer_);
      break;
    case Key::escape: closeFromHere(); break;
    default: break;
  }
}

void PopupWidget::hideEvent(QHideEvent*) {
  // Qt closed the pop-up by itself (another pop-up, the window system): the popover closes.
  closeFromHere();
}

void PopupWidget::closeFromHere() {
  auto popover = popover_.lock();
  detach();
  if (popover) {
    popover->performClose();
  } else if (isVisible()) {
    hide();
  }
}

}  // namespace

std::shared_ptr<StatusBar> makeLinuxStatusBar() { return std::make_shared<LinuxStatusBar>(); }

}  // namespace platform::ui
