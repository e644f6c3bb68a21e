#include "platform/windows/windows.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <charconv>
#include <cstdlib>
#include <mutex>

#include "platform/windows/windows_linux.hpp"

namespace platform::windows {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed: a panel that lives until the process ends reports its destruction to it.
std::shared_ptr<WindowSystem>& installed() {
  static auto* system = new std::shared_ptr<WindowSystem>();
  return *system;
}

}  // namespace

std::string shortest(double value) {
  if (value == 0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string stringFromRect(const Rect& r) {
  return "{{" + shortest(r.origin.x) + ", " + shortest(r.origin.y) + "}, {" +
         shortest(r.size.width) + ", " + shortest(r.size.height) + "}}";
}

QImage HostingView::render(double scale) const {
  const int width = static_cast<int>(std::lround(frame_.width() * scale));
  const int height = static_cast<int>(std::lround(frame_.height() * scale));
  QImage image(width > 0 ? width : 0, height > 0 ? height : 0,
               QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  if (rootView_ && !image.isNull()) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);
    rootView_->draw(painter, Rect(0, 0, frame_.width(), frame_.height()));
  }
  return image;
}

Panel::Panel(Rect contentRect, std::uint64_t styleMask, BackingStore backing, bool /*defer*/)
    : system_(current()), styleMask_(styleMask), backing_(backing), frame_(contentRect) {
  number_ = system_->windowCreated(*this);
}

Panel::~Panel() { system_->windowDestroyed(number_); }

void Panel::setFrame(const Rect& frame, bool display) {
  frame_ = frame;
  layoutContent();
  system_->frameChanged(*this, display);
}

void Panel::setAlphaValue(double alpha) {
  alpha_ = alpha < 0 ? 0 : (alpha > 1 ? 1 : alpha);
  system_->alphaChanged(*this);
}

void Panel::orderFrontRegardless() {
  visible_ = true;
  system_->orderedFront(*this);
}

void Panel::setContentView(std::shared_ptr<HostingView> view) {
  contentView_ = std::move(view);
  layoutContent();
}

void Panel::layoutContent() {
  // Our panels have no title bar: the content view covers the whole frame.
  if (contentView_) contentView_->setFrame(Rect(0, 0, frame_.width(), frame_.height()));
}

std::shared_ptr<WindowSystem> current() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxWindowSystem();
  return installed();
}

void install(std::shared_ptr<WindowSystem> system) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(system);
}

bool hasRealDisplay() {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
  const QString name = QGuiApplication::platformName();
  return name != "offscreen" && name != "minimal";
}

void ensureGuiApplication() {
  if (QGuiApplication::instance()) return;
  const char* platformName = std::getenv("QT_QPA_PLATFORM");
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!platformName || !*platformName) && (!display || !*display) &&
      (!wayland || !*wayland)) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  // Lives for the rest of the process, like the application object.
  static int argc = 1;
  static char name[] = "quorvel";
  static char* argv[] = {name, nullptr};
  static QGuiApplication* application = new QGuiApplication(argc, argv);
  (void)application;
}

}  // namespace platform::windows
