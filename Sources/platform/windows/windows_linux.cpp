#include "platform/windows/windows_linux.hpp"

#include <QBitmap>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QRegion>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <map>
#include <mutex>

#include "platform/screens/screens_linux.hpp"

namespace platform::windows {
namespace {

std::atomic<bool> gListedInTaskbar{true};

// A panel on the display: frameless, drawn from the panel's content view, redrawn at the
// display's pace while shown (the views animate by the clock).
class PanelWidget : public QWidget {
 public:
  explicit PanelWidget(Panel& panel) : panel_(&panel) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    frameTimer_.setInterval(16);
    QObject::connect(&frameTimer_, &QTimer::timeout, this, [this] { update(); });
  }

  void forget() { panel_ = nullptr; }

  // Window flags and attributes from the panel's properties.
  void applyProperties() {
    if (!panel_) return;
    Qt::WindowFlags flags = Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint |
                            (listedInTaskbar() ? Qt::Window : Qt::Tool);
    if (panel_->level > 0) flags |= Qt::WindowStaysOnTopHint;
    if (!panel_->canBecomeKeyWindow()) flags |= Qt::WindowDoesNotAcceptFocus;
    if (windowFlags() != flags) setWindowFlags(flags);
    setAttribute(Qt::WA_TranslucentBackground, !panel_->isOpaque);
    setAttribute(Qt::WA_TransparentForMouseEvents, panel_->ignoresMouseEvents);
    setWindowOpacity(panel_->alphaValue());
  }

  void place() {
    if (!panel_) return;
    const QSize before = size();
    const Rect frame = screens::flippedForWindowSystem(panel_->frame());
    setGeometry(static_cast<int>(std::lround(frame.minX())), static_cast<int>(std::lround(frame.minY())),
                std::max(1, static_cast<int>(std::lround(frame.width()))),
                std::max(1, static_cast<int>(std::lround(frame.height()))));
    if (size() != before || mask().isEmpty()) reshape();
  }

  void reshape() {
    if (panel_ && !panel_->isOpaque) shapeToView(*this, rootView());
  }

  void front() {
    applyProperties();
    place();
    show();
    raise();
    if (panel_ && panel_->canBecomeKeyWindow()) activateWindow();
    frameTimer_.start();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), panel_ && panel_->isOpaque ? Qt::white : Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setRenderHint(QPainter::Antialiasing);
    if (auto view = rootView()) view->draw(painter, bounds());
  }
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return;
    if (auto view = rootView()) view->mouseDown(pointOf(event), bounds());
    update();
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (auto view = rootView()) view->mouseMoved(pointOf(event), bounds());
  }
  void leaveEvent(QEvent*) override {
    if (auto view = rootView()) view->mouseMoved(std::nullopt, bounds());
  }
  void keyPressEvent(QKeyEvent* event) override {
    auto view = rootView();
    if (!view || !view->keyDown(keyPressFrom(*event), bounds())) QWidget::keyPressEvent(event);
    update();
  }
  void hideEvent(QHideEvent*) override { frameTimer_.stop(); }

 private:
  std::shared_ptr<View> rootView() const {
    if (!panel_ || !panel_->contentView()) return nullptr;
    return panel_->contentView()->rootView();
  }
  Rect bounds() const { return Rect(0, 0, width(), height()); }
  static Point pointOf(QMouseEvent* event) {
    return Point{event->position().x(), event->position().y()};
  }

  Panel* panel_;
  QTimer frameTimer_;
};

class LinuxWindowSystem : public WindowSystem {
 public:
  std::int64_t windowCreated(Panel& panel) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t number = next_++;
    if (hasRealDisplay()) widgets_[number] = new PanelWidget(panel);
    return number;
  }
  void windowDestroyed(std::int64_t number) override {
    if (auto* widget = take(number)) {
      widget->forget();
      widget->hide();
      widget->deleteLater();
    }
  }
  void orderedFront(Panel& panel) override {
    if (auto* widget = find(panel)) widget->front();
  }
  void frameChanged(Panel& panel, bool) override {
    if (auto* widget = find(panel)) {
      widget->place();
      widget->update();
    }
  }
  void alphaChanged(Panel& panel) override {
    if (auto* widget = find(panel)) widget->setWindowOpacity(panel.alphaValue());
  }
  void windowHosted(Panel& panel) override {
    if (auto* widget = find(panel)) widget->hide();
  }

  void relist() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [number, widget] : widgets_) {
      if (!widget) continue;
      const bool visible = widget->isVisible();
      widget->applyProperties();
      if (visible) widget->front();
    }
  }

 private:
  PanelWidget* find(Panel& panel) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = widgets_.find(panel.windowNumber());
    return it == widgets_.end() ? nullptr : it->second.data();
  }
  PanelWidget* take(std::int64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = widgets_.find(number);
    if (it == widgets_.end()) return nullptr;
    PanelWidget* widget = it->second.data();
    widgets_.erase(it);
    return widget;
  }

  std::mutex mutex_;
  std::int64_t next_ = 1;
  std::map<std::int64_t, QPointer<PanelWidget>> widgets_;
};

}  // namespace

std::shared_ptr<WindowSystem> makeLinuxWindowSystem() {
  return std::make_shared<LinuxWindowSystem>();
}

void shapeToView(QWidget& window, const std::shared_ptr<View>& view) {
  if (!view || window.width() <= 0 || window.height() <= 0) return;
  QImage image(window.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    view->draw(painter, Rect(0, 0, window.width(), window.height()));
  }
  // Pixels at least half covered belong to the window.
  window.setMask(QBitmap::fromImage(image.createAlphaMask(Qt::ThresholdAlphaDither)));
}

void setListedInTaskbar(bool listed) {
  gListedInTaskbar = listed;
  if (auto* linux = dynamic_cast<LinuxWindowSystem*>(current().get())) linux->relist();
}

bool listedInTaskbar() { return gListedInTaskbar; }

KeyPress keyPressFrom(const QKeyEvent& event) {
  KeyPress key;
  switch (event.key()) {
    case Qt::Key_Up: key.key = KeyPress::Key::up; break;
    case Qt::Key_Down: key.key = KeyPress::Key::down; break;
    case Qt::Key_Tab: key.key = KeyPress::Key::tab; break;
    case Qt::Key_Backtab: key.key = KeyPress::Key::backtab; break;
    case Qt::Key_Return:
    case Qt::Key_Enter: key.key = KeyPress::Key::returnKey; break;
    case Qt::Key_Space: key.key = KeyPress::Key::space; break;
    case Qt::Key_Escape: key.key = KeyPress::Key::escape; break;
    case Qt::Key_Backspace: key.key = KeyPress::Key::backspace; break;
    default: break;
  }
  const QString text = event.text();
  if (!text.isEmpty() && text.at(0).isPrint()) key.text = text.toStdString();
  return key;
}

}  // namespace platform::windows
