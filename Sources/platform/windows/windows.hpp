// Windows of our own: a borderless panel with the properties the window system knows
// (opacity, level, collection behaviour, ...), its frame in screen coordinates (origin at the
// bottom left, y up), its alpha, its window number and its ordering, and a content view that
// hosts a drawable view. Subclasses decide whether the panel can become key or main, as
// panel subclasses do. The window system behind it is installed (simulated in tests).
#pragma once

#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"

class QPainter;
class QImage;

namespace platform::windows {

// A key the user pressed in a window, with the text it types (UTF-8), if any.
struct KeyPress {
  enum class Key { other, up, down, tab, backtab, returnKey, space, escape, backspace };
  Key key = Key::other;
  std::string text;
};

// Something that draws itself into a rectangle (y grows downward in the painter's space).
class View {
 public:
  virtual ~View() = default;
  virtual void draw(QPainter& painter, const Rect& bounds) = 0;
  // The size the view asks for when its host takes the view's own size (a popover).
  virtual std::optional<Size> fittingSize() const { return std::nullopt; }
  // Input from the window that shows the view, in the coordinates of `bounds`. Each answers
  // whether the view used it; a view that takes no input keeps these.
  virtual bool mouseDown(Point point, const Rect& bounds) {
    (void)point, (void)bounds;
    return false;
  }
  // The pointer moved to `point`, or left the view (absent).
  virtual void mouseMoved(std::optional<Point> point, const Rect& bounds) {
    (void)point, (void)bounds;
  }
  virtual bool keyDown(const KeyPress& key, const Rect& bounds) {
    (void)key, (void)bounds;
    return false;
  }
  // The frames of what can be clicked, top to bottom; a host moves the keyboard's selection
  // over them (as a pointer would hover) and presses the selected one with Return or Space.
  virtual std::vector<Rect> focusableFrames(const Rect& bounds) const {
    (void)bounds;
    return {};
  }
};

// Which safe areas a hosting view keeps its root view out of.
enum class SafeAreaRegions : unsigned { none = 0, container = 1, keyboard = 2, all = 3 };

class HostingView {
 public:
  explicit HostingView(std::shared_ptr<View> rootView) : rootView_(std::move(rootView)) {}

  const std::shared_ptr<View>& rootView() const { return rootView_; }
  void setRootView(std::shared_ptr<View> view) {
    rootView_ = std::move(view);
    changed();
  }
  SafeAreaRegions safeAreaRegions() const { return safeAreaRegions_; }
  void setSafeAreaRegions(SafeAreaRegions regions) { safeAreaRegions_ = regions; }
  // In the window's coordinates.
  const Rect& frame() const { return frame_; }
  void setFrame(const Rect& frame) {
    frame_ = frame;
    changed();
  }
  // Called after the root view or the frame changed (the window showing it redraws).
  void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

  // Draws the root view into a transparent image of the frame's size times `scale`.
  QImage render(double scale) const;

 private:
  void changed() {
    if (auto handler = changeHandler_) handler();
  }

  std::shared_ptr<View> rootView_;
  SafeAreaRegions safeAreaRegions_ = SafeAreaRegions::all;
  Rect frame_;
  std::function<void()> changeHandler_;
};

namespace style_mask {
inline constexpr std::uint64_t borderless = 0;
inline constexpr std::uint64_t titled = 1 << 0;
inline constexpr std::uint64_t nonactivatingPanel = 1 << 7;
inline constexpr std::uint64_t fullSizeContentView = 1 << 15;
}  // namespace style_mask

namespace collection_behavior {
inline constexpr std::uint64_t canJoinAllSpaces = 1 << 0;
inline constexpr std::uint64_t stationary = 1 << 4;
inline constexpr std::uint64_t ignoresCycle = 1 << 6;
inline constexpr std::uint64_t fullScreenAuxiliary = 1 << 8;
inline constexpr std::uint64_t canJoinAllApplications = 1 << 18;
}  // namespace collection_behavior

enum class BackingStore { retained = 0, nonretained = 1, buffered = 2 };
enum class AnimationBehavior : int { defaultBehavior = 0, none = 2, documentWindow = 3,
                                     utilityWindow = 4, alertPanel = 5 };

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 0;
  static Color clear() { return {0, 0, 0, 0}; }
  bool operator==(const Color&) const = default;
};

class WindowSystem;
class PanelHost;

class Panel {
 public:
  Panel(Rect contentRect, std::uint64_t styleMask, BackingStore backing, bool defer);
  virtual ~Panel();
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  virtual bool canBecomeKeyWindow() const { return true; }
  virtual bool canBecomeMainWindow() const { return false; }

  std::int64_t windowNumber() const { return number_; }
  std::uint64_t styleMask() const { return styleMask_; }
  BackingStore backingType() const { return backing_; }

  const Rect& frame() const { return frame_; }
  void setFrame(const Rect& frame, bool display);
  double alphaValue() const { return alpha_; }
  void setAlphaValue(double alpha);
  void orderFrontRegardless();
  bool isVisible() const { return visible_; }

  const std::shared_ptr<HostingView>& contentView() const { return contentView_; }
  void setContentView(std::shared_ptr<HostingView> view);

  // Plain properties the window system reads.
  bool isOpaque = true;
  Color backgroundColor{1, 1, 1, 1};
  bool hidesOnDeactivate = true;
  bool isFloatingPanel = false;
  bool hasShadow = true;
  bool ignoresMouseEvents = false;
  bool isExcludedFromWindowsMenu = false;
  bool canBecomeVisibleWithoutLogin = false;
  AnimationBehavior animationBehavior = AnimationBehavior::defaultBehavior;
  std::int64_t level = 0;
  std::uint64_t collectionBehavior = 0;

 private:
  friend bool hostPanel(std::int64_t number, std::shared_ptr<PanelHost> host);
  void layoutContent();

  std::shared_ptr<WindowSystem> system_;
  std::int64_t number_ = 0;
  std::uint64_t styleMask_;
  BackingStore backing_;
  Rect frame_;
  double alpha_ = 1;
  bool visible_ = false;
  std::shared_ptr<HostingView> contentView_;
};

// The window system's side of our panels.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // A new window; returns its number.
  virtual std::int64_t windowCreated(Panel& panel) = 0;
  virtual void windowDestroyed(std::int64_t number) = 0;
  virtual void orderedFront(Panel& panel) = 0;
  virtual void frameChanged(Panel& panel, bool display) = 0;
  virtual void alphaChanged(Panel& panel) = 0;
  // Something else shows the panel from now on (see `hostPanel`): the display hides it.
  virtual void windowHosted(Panel& panel) { (void)panel; }
};

// Something other than the display that shows a panel: the window server's space above the
// lock screen. It hears, on the main thread, every change of the panel it hosts (ordering,
// alpha, frame, content view) and its end.
class PanelHost {
 public:
  virtual ~PanelHost() = default;
  virtual void panelChanged(Panel& panel) = 0;
  virtual void panelGone(std::int64_t number) = 0;
};

// Hands the panel numbered `number` to `host`, which shows it from now on instead of the
// display; false when no panel has that number. The host hears of the panel at once.
bool hostPanel(std::int64_t number, std::shared_ptr<PanelHost> host);
// Gives the panel back to the display (it shows again at its next ordering).
void unhostPanel(std::int64_t number);

std::shared_ptr<WindowSystem> current();
void install(std::shared_ptr<WindowSystem> system);

// Whether our top-level windows are listed in the desktop's task bar and window switcher
// (the regular activation policy), or kept out of them as tool windows. Applies to the
// windows shown now and later.
void setListedInTaskbar(bool listed);
bool listedInTaskbar();

// Makes sure a QGuiApplication exists (needed for fonts), creating one on the offscreen
// platform when the process has none and no display is configured. Main thread only.
void ensureGuiApplication();
// True when the process runs Qt widgets on a real display (not off screen).
bool hasRealDisplay();

// `{{x, y}, {w, h}}` with the numbers in their shortest form, as the platform writes rects.
std::string stringFromRect(const Rect& rect);
// A number in its shortest form, as `stringFromRect` writes it.
std::string shortest(double value);

}  // namespace platform::windows
