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
#include "xdg-shell-client-protocol.h"

namespace platform::windowserver {
namespace {

constexpr double kRoundtripTimeout = 2.0;
constexpr std::uint32_t kPlasmaShellMinimum = 2;  // set_skip_taskbar
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
// Moments after the locker's ActiveChanged(true), in seconds, at which a surface made before
// is made again: the greeter maps its window only when it has drawn its first frame, after
// the lock was announced (about 0.3 s on an idle machine, seconds on a loaded one), and a
// surface mapped before it stays under it.
constexpr double kGreeterDelays[] = {0.5, 1.5, 4.0, 8.0};

std::string executablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("this program") : path.string();
}

// A shared-memory buffer the compositor reads a frame from; busy until it releases it.
struct Buffer {
  wl_buffer* buffer = nullptr;
  void* data = nullptr;
  std::size_t bytes = 0;
  int width = 0, height = 0;
  bool busy = false;

  ~Buffer() {
    if (buffer) wl_buffer_destroy(buffer);
    if (data) ::munmap(data, bytes);
  }
};

class KdeLockScreenRoad : public LockScreenRoad {
 public:
  explicit KdeLockScreenRoad(KdeRoadOptions options) : options_(options) {}
  ~KdeLockScreenRoad() override {
    if (lockWatch_) lockWatch_->stop();
    destroySurface();
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
    if (!readEvents()) return;
    if (surface_ && madeBeforeGreeter()) destroySurface();
    if (!surface_) {
      createSurface(placement);
      madeAt_ = now();
    }
    if (!configured_) {
      wl_display_flush(display_);
      return;
    }
    const int x = static_cast<int>(std::lround(placement.minX()));
    const int y = static_cast<int>(std::lround(placement.minY()));
    if (x != placedX_ || y != placedY_) {
      org_kde_plasma_surface_set_position(plasmaSurface_, x, y);
      placedX_ = x, placedY_ = y;
    }
    if (Buffer* buffer = fill(frame)) {
      const int scale = std::max(1, static_cast<int>(std::lround(frame.devicePixelRatio())));
      wl_surface_set_buffer_scale(surface_, scale);
      wl_surface_attach(surface_, buffer->buffer, 0, 0);
      wl_surface_damage(surface_, 0, 0, INT32_MAX, INT32_MAX);
      wl_surface_commit(surface_);
      buffer->busy = true;
      mapped_ = true;
      shownSize_ = placement.size;
    }
    wl_display_flush(display_);
  }

  void hide() override {
    if (!display_) return;
    readEvents();
    destroySurface();
    wl_display_flush(display_);
  }

  std::optional<Rect> shownBounds() const override {
    if (!mapped_) return std::nullopt;
    return Rect(placedX_, placedY_, shownSize_.width, shownSize_.height);
  }

 private:
  static double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }

  // KWin stacks an allowed surface above the greeter only when the surface is mapped after the
  // greeter's own window; the locker announces the lock before the greeter has drawn. A
  // surface made before one of these moments after the lock is made again once it has come.
  bool madeBeforeGreeter() const {
    if (!screenLocked_.load()) return false;
    const double lockedAt = lockedAt_.load(), at = now();
    for (const double delay : kGreeterDelays) {
      if (at >= lockedAt + delay && madeAt_ < lockedAt + delay) return true;
    }
    return false;
  }

  static bool refuse(std::string* whyNot, const std::string& reason) {
    if (whyNot) *whyNot = reason;
    return false;
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
    auto* self = static_cast<KdeLockScreenRoad*>(data);
    xdg_surface_ack_configure(surface, serial);
    self->configured_ = true;
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

  void createSurface(const Rect& placement) {
    surface_ = wl_compositor_create_surface(compositor_);
    wl_region* nothing = wl_compositor_create_region(compositor_);
    wl_surface_set_input_region(surface_, nothing);  // clicks fall through
    wl_region_destroy(nothing);
    xdgSurface_ = xdg_wm_base_get_xdg_surface(wmBase_, surface_);
    static const xdg_surface_listener surfaceListener = {&KdeLockScreenRoad::configure};
    xdg_surface_add_listener(xdgSurface_, &surfaceListener, this);
    toplevel_ = xdg_surface_get_toplevel(xdgSurface_);
    static const xdg_toplevel_listener toplevelListener = {&KdeLockScreenRoad::toplevelConfigure,
                                                           &KdeLockScreenRoad::toplevelClose};
    xdg_toplevel_add_listener(toplevel_, &toplevelListener, this);
    xdg_toplevel_set_app_id(toplevel_, "com.tessmin.quorvel");
    xdg_toplevel_set_title(toplevel_, "Quorvel");
    plasmaSurface_ = org_kde_plasma_shell_get_surface(plasmaShell_, surface_);
    org_kde_plasma_surface_set_role(plasmaSurface_, ORG_KDE_PLASMA_SURFACE_ROLE_ONSCREENDISPLAY);
    org_kde_plasma_surface_set_skip_taskbar(plasmaSurface_, 1);
    if (org_kde_plasma_surface_get_version(plasmaSurface_) >= ORG_KDE_PLASMA_SURFACE_SET_SKIP_SWITCHER_SINCE_VERSION) {
      org_kde_plasma_surface_set_skip_switcher(plasmaSurface_, 1);
    }
    placedX_ = static_cast<int>(std::lround(placement.minX()));
    placedY_ = static_cast<int>(std::lround(placement.minY()));
    org_kde_plasma_surface_set_position(plasmaSurface_, placedX_, placedY_);
    // After the window exists and before its first buffer: KWin ignores it otherwise.
    if (options_.askAboveLockScreen) kde_lockscreen_overlay_v1_allow(overlay_, surface_);
    wl_surface_commit(surface_);
    configured_ = false;
    mapped_ = false;
  }

  void destroySurface() {
    if (plasmaSurface_) org_kde_plasma_surface_destroy(plasmaSurface_);
    if (toplevel_) xdg_toplevel_destroy(toplevel_);
    if (xdgSurface_) xdg_surface_destroy(xdgSurface_);
    if (surface_) wl_surface_destroy(surface_);
    plasmaSurface_ = nullptr, toplevel_ = nullptr, xdgSurface_ = nullptr, surface_ = nullptr;
    // The buffers of a surface that is gone may never be released: drop them.
    std::erase_if(buffers_, [](const auto& buffer) { return buffer->busy; });
    configured_ = false;
    mapped_ = false;
  }

  // A free buffer of the frame's size holding the frame; null when none can be had now.
  Buffer* fill(const QImage& frame) {
    const QImage pixels = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
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
      if (buffers_.size() >= 3) return nullptr;  // the compositor still reads every one
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

  // KWin's screen locker announces on the session bus when it has taken the screen.
  void watchScreenLocker() {
    auto self = this;
    lockWatch_ = std::make_unique<dbus::Connection>(
        dbus::BusType::session,
        dbus::Connection::Handlers{[self](sd_bus* bus) {
                                     sd_bus_match_signal_async(bus, nullptr, nullptr, nullptr, kScreenSaver,
                                                               "ActiveChanged", &KdeLockScreenRoad::activeChanged,
                                                               nullptr, self);
                                   },
                                   nullptr});
  }
  static int activeChanged(sd_bus_message* message, void* data, sd_bus_error*) {
    int active = 0;
    if (sd_bus_message_read(message, "b", &active) < 0) return 0;
    auto* self = static_cast<KdeLockScreenRoad*>(data);
    if (active) self->lockedAt_ = now();
    self->screenLocked_ = active != 0;
    return 0;
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

  wl_surface* surface_ = nullptr;
  xdg_surface* xdgSurface_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  org_kde_plasma_surface* plasmaSurface_ = nullptr;
  bool configured_ = false;
  bool mapped_ = false;
  int placedX_ = 0, placedY_ = 0;
  Size shownSize_;
  std::vector<std::unique_ptr<Buffer>> buffers_;

  // Written by the bus thread.
  std::atomic<double> lockedAt_{-1};
  std::atomic<bool> screenLocked_{false};
  double madeAt_ = 0;
  std::unique_ptr<dbus::Connection> lockWatch_;
};

}  // namespace

std::unique_ptr<LockScreenRoad> makeKdeLockScreenRoad(KdeRoadOptions options) {
  return std::make_unique<KdeLockScreenRoad>(options);
}

}  // namespace platform::windowserver
