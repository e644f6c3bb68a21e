#include "platform/windows/windows.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <charconv>
#include <cstdlib>
#include <map>
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

struct Hosting {
  std::mutex mutex;
  std::map<std::int64_t, Panel*> panels;
  std::map<std::int64_t, std::shared_ptr<PanelHost>> hosts;
};
// Never destroyed, like the window system.
Hosting& hosting() {
  static auto* value = new Hosting();
  return *value;
}

std::shared_ptr<PanelHost> hostOf(std::int64_t number) {
  std::lock_guard<std::mutex> lock(hosting().mutex);
  const auto it = hosting().hosts.find(number);
  return it == hosting().hosts.end() ? nullptr : it->second;
}

}  // namespace

bool hostPanel(std::int64_t number, std::shared_ptr<PanelHost> host) {
  Panel* panel = nullptr;
  {
    std::lock_guard<std::mutex> lock(hosting().mutex);
    const auto it = hosting().panels.find(number);
    if (it == hosting().panels.end() || !host) return false;
    panel = it->second;
    hosting().hosts[number] = host;
  }
  panel->system_->windowHosted(*panel);
  host->panelChanged(*panel);
  return true;
}

void unhostPanel(std::int64_t number) {
  std::lock_guard<std::mutex> lock(hosting().mutex);
  hosting().hosts.erase(number);
}

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
  std::lock_guard<std::mutex> lock(hosting().mutex);
  hosting().panels[number_] = this;
}

Panel::~Panel() {
  std::shared_ptr<PanelHost> host;
  {
    std::lock_guard<std::mutex> lock(hosting().mutex);
    hosting().panels.erase(number_);
    const auto it = hosting().hosts.find(number_);
    if (it != hosting().hosts.end()) {
      host = it->second;
      hosting().hosts.erase(it);
    }
  }
  if (host) host->panelGone(number_);
  system_->windowDestroyed(number_);
}

void Panel::setFrame(const Rect& frame, bool display) {
  frame_ = frame;
  layoutContent();
  if (auto host = hostOf(number_)) return host->panelChanged(*this);
  system_->frameChanged(*this, display);
}

void Panel::setAlphaValue(double alpha) {
  alpha_ = alpha < 0 ? 0 : (alpha > 1 ? 1 : alpha);
  if (auto host = hostOf(number_)) return host->panelChanged(*this);
  system_->alphaChanged(*this);
}

void Panel::orderFrontRegardless() {
  visible_ = true;
  if (auto host = hostOf(number_)) return host->panelChanged(*this);
  system_->orderedFront(*this);
}

void Panel::setContentView(std::shared_ptr<HostingView> view) {
  contentView_ = std::move(view);
  layoutContent();
  if (auto host = hostOf(number_)) host->panelChanged(*this);
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
