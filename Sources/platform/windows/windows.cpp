#include "platform/windows/windows.hpp"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <charconv>
#include <cstdlib>

namespace platform::windows {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<WindowSystem>& installed() {
  static std::shared_ptr<WindowSystem> system;
  return system;
}

std::string shortest(double value) {
  if (value == 0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

class LinuxWindowSystem : public WindowSystem {
 public:
  std::int64_t windowCreated(Panel&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_++;
  }
  void windowDestroyed(std::int64_t) override {}
  void orderedFront(Panel&) override {}
  void frameChanged(Panel&, bool) override {}
  void alphaChanged(Panel&) override {}

 private:
  std::mutex mutex_;
  std::int64_t next_ = 1;
};

}  // namespace

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

std::int64_t SimulatedWindowSystem::windowCreated(Panel& panel) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t number = next_++;
  panels_[number] = &panel;
  events_.push_back("create " + std::to_string(number));
  return number;
}

void SimulatedWindowSystem::windowDestroyed(std::int64_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  panels_.erase(number);
  events_.push_back("destroy " + std::to_string(number));
}

void SimulatedWindowSystem::orderedFront(Panel& panel) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("front " + std::to_string(panel.windowNumber()));
}

void SimulatedWindowSystem::frameChanged(Panel& panel, bool display) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("frame " + std::to_string(panel.windowNumber()) + " " +
                    stringFromRect(panel.frame()) + " display=" + (display ? "true" : "false"));
}

void SimulatedWindowSystem::alphaChanged(Panel& panel) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("alpha " + std::to_string(panel.windowNumber()) + " " +
                    shortest(panel.alphaValue()));
}

Panel* SimulatedWindowSystem::panel(std::int64_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = panels_.find(number);
  return it == panels_.end() ? nullptr : it->second;
}

std::vector<std::int64_t> SimulatedWindowSystem::windowNumbers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::int64_t> numbers;
  for (const auto& [number, panel] : panels_) numbers.push_back(number);
  return numbers;
}

std::vector<std::string> SimulatedWindowSystem::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void SimulatedWindowSystem::clearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

std::shared_ptr<WindowSystem> makeLinuxWindowSystem() {
  return std::make_shared<LinuxWindowSystem>();
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
