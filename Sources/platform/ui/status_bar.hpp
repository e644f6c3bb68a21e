// The system status bar: a status item with its button, popovers shown under it, global
// mouse monitors (clicks in other applications) and system symbol images.
//
// `statusBar()` obtains the installed status bar, else the linux one (status_bar_linux.hpp).
// Tests install a `SimulatedStatusBar` (simulated_status_bar.hpp), which records everything
// and lets a test click.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/windows/windows.hpp"

namespace platform::ui {

struct SymbolImage {
  std::string symbolName;
  std::string accessibilityDescription;
  bool isTemplate = false;
  friend bool operator==(const SymbolImage&, const SymbolImage&) = default;
};

enum class ImagePosition { noImage, imageOnly, imageLeft };

class StatusButton {
 public:
  virtual ~StatusButton() = default;
  std::optional<SymbolImage> image;
  // Sets `image` and shows it on the button.
  void setImage(std::optional<SymbolImage> newImage) {
    image = std::move(newImage);
    imageChanged();
  }
  ImagePosition imagePosition = ImagePosition::noImage;
  std::function<void()> action;
  Rect bounds{0, 0, 24, 22};
  // The user clicks the button.
  void performClick() {
    if (action) action();
  }

 protected:
  virtual void imageChanged() {}
};

class StatusItem {
 public:
  // No value when the status bar could not make a button.
  std::shared_ptr<StatusButton> button;
};

enum class RectEdge { minX, minY, maxX, maxY };

class Popover : public std::enable_shared_from_this<Popover> {
 public:
  enum class Behavior { applicationDefined, transient, semitransient };

  Behavior behavior = Behavior::applicationDefined;
  std::shared_ptr<windows::HostingView> contentViewController;
  // The delegate's close notification, with the popover that closed.
  std::function<void(Popover&)> didClose;

  virtual ~Popover() = default;
  bool isShown() const { return shown_; }
  virtual void show(const Rect& relativeTo, RectEdge edge) {
    shown_ = true;
    anchor_ = relativeTo;
    edge_ = edge;
  }
  // Closes the popover and notifies the delegate (when shown).
  virtual void performClose() {
    if (!shown_) return;
    shown_ = false;
    auto keep = shared_from_this();
    if (didClose) didClose(*this);
  }
  // The collection behaviour of the popover's window.
  std::uint64_t windowCollectionBehavior = 0;
  const Rect& anchor() const { return anchor_; }
  RectEdge edge() const { return edge_; }

 private:
  bool shown_ = false;
  Rect anchor_;
  RectEdge edge_ = RectEdge::minY;
};

namespace event_mask {
inline constexpr std::uint64_t leftMouseDown = 1 << 1;
inline constexpr std::uint64_t rightMouseDown = 1 << 3;
}  // namespace event_mask

class StatusBar {
 public:
  virtual ~StatusBar() = default;
  // A status item of variable length.
  virtual std::shared_ptr<StatusItem> makeStatusItem() = 0;
  virtual std::shared_ptr<Popover> makePopover() = 0;
  // `handler` runs for each matching event in another application; lives for the process.
  virtual void addGlobalMouseMonitor(std::uint64_t mask, std::function<void()> handler) = 0;
  // An image of a system symbol, or no value when there is none of that name.
  virtual std::optional<SymbolImage> systemSymbol(const std::string& name,
                                                  const std::string& accessibilityDescription) = 0;
};

std::shared_ptr<StatusBar> statusBar();
void installStatusBar(std::shared_ptr<StatusBar> bar);

}  // namespace platform::ui
