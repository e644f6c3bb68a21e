#include "platform/windowserver/lock_screen_road_kde.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QImage>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <wayland-client.h>

#include "kde-lockscreen-overlay-v1-client-protocol.h"
#include "plasma-shell-client-protocol.h"
#include "platform/dbus/connection.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/windowserver/lock_screen_road_common.hpp"
#include "xdg-shell-client-protocol.h"

namespace platform::windowserver {
namespace {

constexpr double kRoundtripTimeout = 2.0;
constexpr std::uint32_t kPlasmaShellMinimum = 2;  // set_skip_taskbar
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/freedesktop/ScreenSaver";
// While the session is locked, the shown surface is put back on top this often, in seconds.
// KWin 5.27 keeps the greeter (a layer-shell surface of the overlay layer) and every allowed
// surface in its topmost layer, where a window stacks above those added or raised before it;
// the greeter is added, and raised again each time KWin activates it, when it is ready, which
// the locker does not announce: its ActiveChanged(true) comes once the greeter has shown or one
// second after the lock began, whichever is first, and on a loaded machine the greeter comes
// many seconds later. A surface shown before the lock keeps the layer KWin gave it then, below
// the greeter's, and is put on top once the lock is announced.
constexpr double kRaisePeriod = 1;
// The surface a fresh one replaced stays this long beneath it, in seconds, fed the same frames:
// KWin fades a new on-screen display in (0.15 s at the usual animation speed), and without the
// old one beneath, the panel would dim each time it is put on top.
constexpr double kRaiseOverlap = 0.5;
// Buffers the road holds at most: the compositor keeps the last one of every surface shown,
// and two surfaces are fed while one replaces the other.
constexpr std::size_t kMaxBuffers = 6;

std::string executablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("this program") : path.string();
}

// A shared-memory buffer the compositor reads a frame from; busy until it releases it.
struct Buffer {
  wl_buffer* buffer = nullptr;
  const void* shownOn = nullptr;  // the window it was last attached to
  void* data = nullptr;
  std::size_t bytes = 0;
  int width = 0, height = 0;
  bool busy = false;

  ~Buffer() {
    if (buffer) wl_buffer_destroy(buffer);
    if (data) ::munmap(data, bytes);
  }
};

// One surface with its roles: an xdg toplevel that Plasma's shell places.
struct Window {
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  org_kde_plasma_surface* plasmaSurface = nullptr;
  bool configured = false;
  bool mapped = false;
  int x = 0, y = 0;
  Size size;
  double madeAt = 0;

  ~Window() {
    if (plasmaSurface) org_kde_plasma_surface_destroy(plasmaSurface);
    if (toplevel) xdg_toplevel_destroy(toplevel);
    if (xdgSurface) xdg_surface_destroy(xdgSurface);
    if (surface) wl_surface_destroy(surface);
  }
};

class KdeLockScreenRoad : public LockScreenRoad {
 public:
  explicit KdeLockScreenRoad(KdeRoadOptions options) : options_(options) {}
  ~KdeLockScreenRoad() override {
    if (lockWatch_) lockWatch_->stop();
    next_.reset(), window_.reset(), previous_.reset();
    buffers_.clear();  // before the connection they belong to
    if (overlay_) kde_lockscreen_overlay_v1_destroy(overlay_);
    if (plasmaShell_) org_kde_plasma_shell_destroy(plasmaShell_);
    if (wmBase_) xdg_wm_base_destroy(wmBase_);
    if (shm_) wl_shm_destroy(shm_);
    if (compositor_) wl_compositor_destroy(compositor_);
    if (registry_) wl_registry_destroy(registry_);
    if (display_) wl_display_disconnect(display_);
  }

  std::string name() const override { return "KDE Plasma lock-screen overlay"; }

  bool open(std::string* whyNot) override {
    const char* socket = std::getenv("WAYLAND_DISPLAY");
    if ((!socket || !*socket) && !std::getenv("WAYLAND_SOCKET")) {
      return refuse(whyNot, "no Wayland compositor in this session (WAYLAND_DISPLAY is not set)");
    }
    display_ = wl_display_connect(nullptr);
    if (!display_) {
      return refuse(whyNot, std::string("cannot reach the Wayland compositor: ") + std::strerror(errno));
    }
    registry_ = wl_display_get_registry(display_);
    static const wl_registry_listener registryListener = {&KdeLockScreenRoad::global,
                                                          &KdeLockScreenRoad::globalRemoved};
    wl_registry_add_listener(registry_, &registryListener, this);
    if (!roundtrip()) return refuse(whyNot, "the Wayland compositor did not answer");
    if (!plasmaShell_) {
      return refuse(whyNot, plasmaShellVersion_ ? "org_kde_plasma_shell is older than version 2"
                                                : "the compositor is not KDE Plasma's (no org_kde_plasma_shell)");
    }
    if (!compositor_ || !shm_ || !wmBase_) {
      return refuse(whyNot, "the compositor lacks wl_compositor, wl_shm or xdg_wm_base");
    }
    if (!overlay_) {
      const std::string exe = executablePath();
      return refuse(whyNot, std::string("the compositor does not offer ") + kKdeLockScreenOverlayInterface +
                                " to " + exe + " (install a .desktop file with Exec=" + exe + " and " +
                                kKdeWaylandInterfacesKey + "=" + kKdeLockScreenOverlayInterface + ")");
    }
    static const xdg_wm_base_listener wmBaseListener = {&KdeLockScreenRoad::ping};
    xdg_wm_base_add_listener(wmBase_, &wmBaseListener, this);
    watchScreenLocker();
    return true;
  }

  void show(const QImage& frame, const Rect& placement) override {
    if (!readEvents()) {
      if (!reportedBroken_ && display_) {
        reportedBroken_ = true;
        overlayLog().error("The %s's Wayland connection broke (%s): the panel no longer shows", name(),
                           std::strerror(wl_display_get_error(display_)));
      }
      return;
    }
    const double at = steadyNow();
    if (previous_ && at >= previousGoesAt_) retire(std::move(previous_));
    if (!window_) window_ = makeWindow(placement);
    if (!next_ && raiseDue(at)) next_ = makeWindow(placement);
    Window* target = next_ && next_->configured ? next_.get() : window_->configured ? window_.get() : nullptr;
    const QImage pixels = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int scale = std::max(1, static_cast<int>(std::lround(frame.devicePixelRatio())));
    if (target && present(*target, pixels, scale, placement) && target == next_.get()) {
      // The fresh surface is on top; the one it replaces stays beneath it for a while.
      retire(std::move(previous_));
      previous_ = std::exchange(window_, std::move(next_));
      previousGoesAt_ = at + kRaiseOverlap;
    }
    // Fed the same frame, the surface beneath never shows through one that is fading in.
    if (previous_) present(*previous_, pixels, scale, placement);
    wl_display_flush(display_);
  }

  void hide() override {
    if (!display_) return;
    readEvents();
    retire(std::move(next_));
    retire(std::move(window_));
    retire(std::move(previous_));
    wl_display_flush(display_);
  }

  std::optional<Rect> shownBounds() const override {
    // The compositor takes a broken connection's surfaces down.
    if (!display_ || wl_display_get_error(display_) != 0 || !window_ || !window_->mapped) return std::nullopt;
    return Rect(window_->x, window_->y, window_->size.width, window_->size.height);
  }

 private:
  // Whether the shown surface is to be put back on top now: while the session is locked, when
  // it was made before the lock was announced or longer ago than the period.
  bool raiseDue(double at) const {
    if (!window_->mapped || !locked_.load()) return false;
    return window_->madeAt < lockedAt_.load() || at - window_->madeAt >= kRaisePeriod;
  }

  static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
    auto* self = static_cast<KdeLockScreenRoad*>(data);
    const std::string which = interface;
    if (which == wl_compositor_interface.name) {
      self->compositor_ = static_cast<wl_compositor*>(
          wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
    } else if (which == wl_shm_interface.name) {
      self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (which == xdg_wm_base_interface.name) {
      self->wmBase_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    } else if (which == org_kde_plasma_shell_interface.name) {
      self->plasmaShellVersion_ = version;
      if (version >= kPlasmaShellMinimum) {
        self->plasmaShell_ = static_cast<org_kde_plasma_shell*>(wl_registry_bind(
            registry, name, &org_kde_plasma_shell_interface,
            std::min<std::uint32_t>(version, static_cast<std::uint32_t>(org_kde_plasma_shell_interface.version))));
      }
    } else if (which == kde_lockscreen_overlay_v1_interface.name) {
      self->overlay_ = static_cast<kde_lockscreen_overlay_v1*>(
          wl_registry_bind(registry, name, &kde_lockscreen_overlay_v1_interface, 1));
    }
  }
  static void globalRemoved(void*, wl_registry*, std::uint32_t) {}

  static void ping(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }

  static void configure(void* data, xdg_surface* surface, std::uint32_t serial) {
    xdg_surface_ack_configure(surface, serial);
    static_cast<Window*>(data)->configured = true;
  }
  static void toplevelConfigure(void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {}
  static void toplevelClose(void*, xdg_toplevel*) {}

  static void released(void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }

  // Waits (at most kRoundtripTimeout) until the compositor has handled every request so far.
  bool roundtrip() {
    bool done = false;
    wl_callback* callback = wl_display_sync(display_);
    static const wl_callback_listener listener = {
        [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(callback, &listener, &done);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kRoundtripTimeout);
    while (!done) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readEvents(static_cast<int>(left.count()))) break;
    }
    wl_callback_destroy(callback);
    return done;
  }

  // Sends what is queued, reads what the compositor sent (waiting at most `timeoutMs`) and
  // handles it. False once the connection is broken.
  bool readEvents(int timeoutMs = 0) {
    if (!display_ || wl_display_get_error(display_) != 0) return false;
    while (wl_display_prepare_read(display_) != 0) wl_display_dispatch_pending(display_);
    wl_display_flush(display_);
    pollfd descriptor{wl_display_get_fd(display_), POLLIN, 0};
    if (::poll(&descriptor, 1, timeoutMs) > 0 && (descriptor.revents & POLLIN)) {
      wl_display_read_events(display_);
    } else {
      wl_display_cancel_read(display_);
    }
    wl_display_dispatch_pending(display_);
    return wl_display_get_error(display_) == 0;
  }

  std::unique_ptr<Window> makeWindow(const Rect& placement) {
    auto window = std::make_unique<Window>();
    window->madeAt = steadyNow();
    window->surface = wl_compositor_create_surface(compositor_);
    wl_region* nothing = wl_compositor_create_region(compositor_);
    wl_surface_set_input_region(window->surface, nothing);  // clicks fall through
    wl_region_destroy(nothing);
    window->xdgSurface = xdg_wm_base_get_xdg_surface(wmBase_, window->surface);
    static const xdg_surface_listener surfaceListener = {&KdeLockScreenRoad::configure};
    xdg_surface_add_listener(window->xdgSurface, &surfaceListener, window.get());
    window->toplevel = xdg_surface_get_toplevel(window->xdgSurface);
    static const xdg_toplevel_listener toplevelListener = {&KdeLockScreenRoad::toplevelConfigure,
                                                           &KdeLockScreenRoad::toplevelClose};
    xdg_toplevel_add_listener(window->toplevel, &toplevelListener, this);
    xdg_toplevel_set_app_id(window->toplevel, "com.tessmin.quorvel");
    xdg_toplevel_set_title(window->toplevel, "Quorvel");
    window->plasmaSurface = org_kde_plasma_shell_get_surface(plasmaShell_, window->surface);
    org_kde_plasma_surface_set_role(window->plasmaSurface, ORG_KDE_PLASMA_SURFACE_ROLE_ONSCREENDISPLAY);
    org_kde_plasma_surface_set_skip_taskbar(window->plasmaSurface, 1);
    if (org_kde_plasma_surface_get_version(window->plasmaSurface) >=
        ORG_KDE_PLASMA_SURFACE_SET_SKIP_SWITCHER_SINCE_VERSION) {
      org_kde_plasma_surface_set_skip_switcher(window->plasmaSurface, 1);
    }
    window->x = static_cast<int>(std::lround(placement.minX()));
    window->y = static_cast<int>(std::lround(placement.minY()));
    org_kde_plasma_surface_set_position(window->plasmaSurface, window->x, window->y);
    // After the window exists and before its first buffer: KWin ignores it otherwise.
    if (options_.askAboveLockScreen) kde_lockscreen_overlay_v1_allow(overlay_, window->surface);
    wl_surface_commit(window->surface);
    return window;
  }

  // Takes a window off the screen. The buffer it showed last may never be released: dropped.
  void retire(std::unique_ptr<Window> window) {
    if (!window) return;
    std::erase_if(buffers_, [&](const auto& buffer) { return buffer->busy && buffer->shownOn == window.get(); });
  }

  // Puts the frame on the window at the placement; false when no buffer can be had now.
  bool present(Window& window, const QImage& pixels, int scale, const Rect& placement) {
    const int x = static_cast<int>(std::lround(placement.minX()));
    const int y = static_cast<int>(std::lround(placement.minY()));
    if (x != window.x || y != window.y) {
      org_kde_plasma_surface_set_position(window.plasmaSurface, x, y);
      window.x = x, window.y = y;
    }
    Buffer* buffer = fill(pixels);
    if (!buffer) return false;
    wl_surface_set_buffer_scale(window.surface, scale);
    wl_surface_attach(window.surface, buffer->buffer, 0, 0);
    wl_surface_damage(window.surface, 0, 0, INT32_MAX, INT32_MAX);
    wl_surface_commit(window.surface);
    buffer->busy = true;
    buffer->shownOn = &window;
    window.mapped = true;
    window.size = placement.size;
    return true;
  }

  // A free buffer of the frame's size (premultiplied ARGB) holding the frame; null when none
  // can be had now.
  Buffer* fill(const QImage& pixels) {
    if (pixels.isNull()) return nullptr;
    Buffer* free = nullptr;
    for (auto& buffer : buffers_) {
      if (buffer->busy) continue;
      if (buffer->width == pixels.width() && buffer->height == pixels.height()) {
        free = buffer.get();
        break;
      }
    }
    if (!free) {
      std::erase_if(buffers_, [&](const auto& b) {
        return !b->busy && (b->width != pixels.width() || b->height != pixels.height());
      });
      if (buffers_.size() >= kMaxBuffers) return nullptr;  // the compositor still reads every one
      auto made = makeBuffer(pixels.width(), pixels.height());
      if (!made) return nullptr;
      free = made.get();
      buffers_.push_back(std::move(made));
    }
    const int stride = free->width * 4;
    for (int row = 0; row < free->height; ++row) {
      std::memcpy(static_cast<char*>(free->data) + static_cast<std::size_t>(row) * stride,
                  pixels.constScanLine(row), static_cast<std::size_t>(stride));
    }
    return free;
  }

  std::unique_ptr<Buffer> makeBuffer(int width, int height) {
    auto buffer = std::make_unique<Buffer>();
    buffer->width = width, buffer->height = height;
    buffer->bytes = static_cast<std::size_t>(width) * height * 4;
    const int fd = ::memfd_create("quorvel-overlay", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::ftruncate(fd, static_cast<off_t>(buffer->bytes)) != 0) {
      ::close(fd);
      return nullptr;
    }
    buffer->data = ::mmap(nullptr, buffer->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (buffer->data == MAP_FAILED) {
      buffer->data = nullptr;
      ::close(fd);
      return nullptr;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<std::int32_t>(buffer->bytes));
    // QImage's premultiplied ARGB32 is wl_shm's ARGB8888 (native-endian 32-bit pixels).
    buffer->buffer = wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    static const wl_buffer_listener listener = {&KdeLockScreenRoad::released};
    wl_buffer_add_listener(buffer->buffer, &listener, buffer.get());
    return buffer;
  }

  // KWin's screen locker says on the session bus whether the session is locked: asked once per
  // connection, then told on every change.
  void watchScreenLocker() {
    auto self = this;
    lockWatch_ = std::make_unique<dbus::Connection>(
        dbus::BusType::session,
        dbus::Connection::Handlers{[self](sd_bus* bus) {
                                     sd_bus_match_signal_async(bus, nullptr, kScreenSaver, kScreenSaverPath, kScreenSaver,
                                                               "ActiveChanged", &KdeLockScreenRoad::activeChanged,
                                                               nullptr, self);
                                     const std::uint64_t told = self->lockNews_.load();
                                     dbus::callMethod(bus, kScreenSaver, kScreenSaverPath, kScreenSaver, "GetActive", nullptr,
                                                      [self, told](const dbus::Reply& reply) {
                                                        int active = 0;
                                                        // A signal that came meanwhile is newer.
                                                        if (!reply.ok() || self->lockNews_.load() != told ||
                                                            sd_bus_message_read(reply.message, "b", &active) < 0) {
                                                          return;
                                                        }
                                                        self->setLocked(active != 0);
                                                      });
                                   },
                                   nullptr});
  }
  static int activeChanged(sd_bus_message* message, void* data, sd_bus_error*) {
    int active = 0;
    if (sd_bus_message_read(message, "b", &active) < 0) return 0;
    auto* self = static_cast<KdeLockScreenRoad*>(data);
    ++self->lockNews_;
    self->setLocked(active != 0);
    return 0;
  }
  void setLocked(bool locked) {
    if (locked && !locked_.load()) lockedAt_ = steadyNow();
    locked_ = locked;
  }

  const KdeRoadOptions options_;
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  xdg_wm_base* wmBase_ = nullptr;
  org_kde_plasma_shell* plasmaShell_ = nullptr;
  std::uint32_t plasmaShellVersion_ = 0;
  kde_lockscreen_overlay_v1* overlay_ = nullptr;

  std::unique_ptr<Window> window_;    // on top, fed the frames
  std::unique_ptr<Window> next_;      // made to be put on top, not yet shown
  std::unique_ptr<Window> previous_;  // replaced by window_, beneath it until previousGoesAt_
  double previousGoesAt_ = 0;
  std::vector<std::unique_ptr<Buffer>> buffers_;
  bool reportedBroken_ = false;  // the broken connection was logged

  // Written by the bus thread.
  std::atomic<bool> locked_{false};
  std::atomic<double> lockedAt_{-1};       // when the road learned of the lock
  std::atomic<std::uint64_t> lockNews_{0};  // signals received
  std::unique_ptr<dbus::Connection> lockWatch_;
};

}  // namespace

std::unique_ptr<LockScreenRoad> makeKdeLockScreenRoad(KdeRoadOptions options) {
  return std::make_unique<KdeLockScreenRoad>(options);
}

}  // namespace platform::windowserver
