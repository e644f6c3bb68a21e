#include "platform/windowserver/lock_screen_road_gnome.hpp"

#include <QBuffer>
#include <QImage>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/bundle/bundle.hpp"
#include "platform/dbus/connection.hpp"
#include "platform/windowserver/lock_screen_road_common.hpp"

namespace platform::windowserver {
namespace {

constexpr const char* kShell = "org.gnome.Shell";
constexpr const char* kShellPath = "/org/gnome/Shell";
constexpr const char* kExtensions = "org.gnome.Shell.Extensions";
// An unchanged frame is sent again after this long, in seconds (the extension takes down a
// picture whose sender has sent nothing for five).
constexpr double kResendAfter = 1.0;

// Qt's PNG quality for the frames: a fast zlib level. A scanning frame's visible part takes
// about half the time of the default level for a quarter more bytes (bench_gnome_overlay_frame).
constexpr int kPngQuality = 80;

// The error of a question the road's bus thread did not answer in time.
constexpr const char* kNoAnswer = "no answer in time";

// What GNOME Shell's GetExtensionInfo says of an extension's state (43 and 44 name 1 and 2
// ENABLED and DISABLED, 45 and later ACTIVE and INACTIVE).
enum ExtensionState { kInactive = 2, kError = 3, kOutOfDate = 4, kInitialized = 6 };

using dbus::readVariant;

// Reads an a{sv} dictionary: `entry` reads the value of the keys it knows (and says so); the
// others are skipped. False when the message holds no such dictionary.
bool readDictionary(sd_bus_message* m, const std::function<bool(const std::string& key)>& entry) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) <= 0 || !entry(key ? key : "")) sd_bus_message_skip(m, "v");
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  return true;
}

// What the shell says about the extension and itself, when the extension does not answer.
struct ExtensionInfo {
  bool installed = false;
  int state = 0;
  std::string error;
  std::string shellVersion;
  bool userExtensionsEnabled = true;
};

// A frame ready for the bus, with its place.
struct Frame {
  Rect placement;
  GnomeOverlayFrame content;
};

// What the main thread and the bus thread share.
struct Traffic {
  std::mutex mutex;
  std::shared_ptr<const Frame> waiting;  // the newest frame not yet sent
  bool sending = false;                  // a ShowFrame call is on its way
  std::uint64_t generation = 0;          // advanced by every hide
  std::optional<Rect> shownBounds;
  bool failing = false;  // the last call failed (logged once until one succeeds)
};

class GnomeLockScreenRoad : public LockScreenRoad {
 public:
  ~GnomeLockScreenRoad() override {
    bus_.reset();  // ends the calls on their way before the traffic goes
  }

  std::string name() const override { return "GNOME Shell lock-screen overlay"; }

  bool open(std::string* whyNot) override {
    bus_ = std::make_unique<dbus::Connection>(dbus::BusType::session, dbus::Connection::Handlers{});
    std::string error;
    const auto shellRuns = ask<bool>(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kShell); },
        [](sd_bus_message* m) -> std::optional<bool> {
          int owned = 0;
          if (sd_bus_message_read(m, "b", &owned) <= 0) return std::nullopt;
          return owned != 0;
        },
        &error);
    if (!shellRuns) return refuse(whyNot, "cannot ask the session bus for GNOME Shell (" + error + ")");
    if (!*shellRuns)
      return refuse(whyNot, "GNOME Shell is not running on the session bus (no owner of org.gnome.Shell)");

    const auto version = ask<std::uint32_t>(
        kShell, kGnomeOverlayPath, kGnomeOverlayInterface, "Ping", nullptr,
        [](sd_bus_message* m) -> std::optional<std::uint32_t> {
          std::uint32_t value = 0;
          if (sd_bus_message_read(m, "u", &value) <= 0) return std::nullopt;
          return value;
        },
        &error);
    if (version && *version == kGnomeOverlayVersion) return true;
    // A shell too busy to answer would not answer the questions below either.
    if (!version && (error == kNoAnswer || error.starts_with(SD_BUS_ERROR_NO_REPLY))) {
      return refuse(whyNot, "GNOME Shell did not answer in time (" + error + ")");
    }
    const ExtensionInfo info = extensionInfo();
    if (version) {
      return refuse(whyNot, "the GNOME Shell extension " + std::string(kGnomeOverlayExtension) +
                                " installed is version " + std::to_string(*version) + ", this program needs version " +
                                std::to_string(kGnomeOverlayVersion) + ": " + installAdvice(info.shellVersion));
    }
    return refuse(whyNot, whyNoAnswer(info, error));
  }

  void show(const QImage& frame, const Rect& placement) override {
    const double at = steadyNow();
    if (showing_ && placement == sentPlacement_ && at - sentAt_ < kResendAfter && frame == sentImage_) return;
    showing_ = true, sentImage_ = frame, sentPlacement_ = placement, sentAt_ = at;
    auto next = std::make_shared<const Frame>(Frame{placement, gnomeOverlayFrame(frame)});
    {
      std::lock_guard<std::mutex> lock(traffic_->mutex);
      traffic_->waiting = std::move(next);
    }
    sendWaiting(bus_.get(), traffic_);
  }

  void hide() override {
    showing_ = false, sentImage_ = QImage();
    {
      std::lock_guard<std::mutex> lock(traffic_->mutex);
      ++traffic_->generation;
      traffic_->waiting.reset();
      traffic_->shownBounds.reset();
    }
    // Behind any ShowFrame on its way: the bus keeps one sender's calls in order.
    bus_->post([traffic = traffic_](sd_bus* bus) {
      dbus::callMethod(bus, kShell, kGnomeOverlayPath, kGnomeOverlayInterface, "Hide", nullptr,
                       [traffic](const dbus::Reply& reply) { noteOutcome(*traffic, reply, "hide the panel"); });
    });
  }

  std::optional<Rect> shownBounds() const override {
    std::lock_guard<std::mutex> lock(traffic_->mutex);
    return traffic_->shownBounds;
  }

 private:
  // Calls a method and waits (a bounded time) for the value `read` takes from its reply; none,
  // with the error in `error`, when the call failed, the reply did not hold it, or time ran out.
  template <class T>
  std::optional<T> ask(const char* destination, const char* path, const char* interface, const char* member,
                       dbus::Arguments arguments, std::function<std::optional<T>(sd_bus_message*)> read,
                       std::string* error) {
    struct Answer {
      std::optional<T> value;
      std::string error;
    };
    const auto answer = bus_->ask<Answer>([=](sd_bus* bus, std::function<void(std::optional<Answer>)> done) {
      dbus::callMethod(bus, destination, path, interface, member, arguments, [=](const dbus::Reply& reply) {
        if (!reply.ok()) return done(Answer{std::nullopt, reply.error});
        auto value = read(reply.message);
        done(Answer{value, value ? "" : "an unexpected reply"});
      });
    });
    if (!answer) {
      *error = kNoAnswer;
      return std::nullopt;
    }
    *error = answer->error;
    return answer->value;
  }

  // Asks the shell for an a{sv} dictionary (`member` of `interface` with one text argument):
  // `entry` reads the keys it knows into a T and says so.
  template <class T>
  std::optional<T> askDictionary(const char* interface, const char* member, const char* argument,
                                 std::function<bool(T&, sd_bus_message*, const std::string&)> entry) {
    std::string error;
    return ask<T>(
        kShell, kShellPath, interface, member,
        [argument](sd_bus_message* m) { return sd_bus_message_append(m, "s", argument); },
        [entry](sd_bus_message* m) -> std::optional<T> {
          T read;
          if (!readDictionary(m, [&](const std::string& key) { return entry(read, m, key); })) return std::nullopt;
          return read;
        },
        &error);
  }

  // The extension's entry in the shell's list (empty when it is not installed), the shell's
  // version and whether it runs user extensions at all.
  ExtensionInfo extensionInfo() {
    ExtensionInfo info =
        askDictionary<ExtensionInfo>(kExtensions, "GetExtensionInfo", kGnomeOverlayExtension,
                                     [](ExtensionInfo& read, sd_bus_message* m, const std::string& key) {
                                       double state = 0;
                                       if (key == "state" && readVariant(m, "d", &state))
                                         read.installed = true, read.state = static_cast<int>(state);
                                       if (key == "error") readVariant(m, "s", &read.error);
                                       return key == "state" || key == "error";
                                     })
            .value_or(ExtensionInfo{});
    const auto shell = askDictionary<ExtensionInfo>(
        "org.freedesktop.DBus.Properties", "GetAll", kExtensions,
        [](ExtensionInfo& read, sd_bus_message* m, const std::string& key) {
          int enabled = 1;
          if (key == "ShellVersion") readVariant(m, "s", &read.shellVersion);
          if (key == "UserExtensionsEnabled" && readVariant(m, "b", &enabled)) read.userExtensionsEnabled = enabled;
          return key == "ShellVersion" || key == "UserExtensionsEnabled";
        });
    if (shell) info.shellVersion = shell->shellVersion, info.userExtensionsEnabled = shell->userExtensionsEnabled;
    return info;
  }

  // Why the extension's object did not answer, with what the user can do about it.
  std::string whyNoAnswer(const ExtensionInfo& info, const std::string& error) const {
    const std::string extension = std::string("the GNOME Shell extension ") + kGnomeOverlayExtension;
    const std::string enable = std::string("gnome-extensions enable ") + kGnomeOverlayExtension;
    if (!info.installed) return extension + " is not installed: " + installAdvice(info.shellVersion);
    if (!info.userExtensionsEnabled) {
      return "GNOME Shell has user extensions switched off: run gsettings set org.gnome.shell "
             "disable-user-extensions false, then " +
             enable;
    }
    switch (info.state) {
      case kInactive:
      case kInitialized:
        return extension + " is not enabled: run " + enable;
      case kOutOfDate:
        return extension + " installed is not made for GNOME Shell " + info.shellVersion + ": " +
               installAdvice(info.shellVersion);
      case kError:
        return extension + " failed in GNOME Shell (" + info.error + "): " + installAdvice(info.shellVersion);
      default:
        return extension + " does not answer (" + error + ")";
    }
  }

  static std::string installAdvice(const std::string& shellVersion) {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    const std::string data = dataHome && *dataHome ? dataHome : std::string(home ? home : "~") + "/.local/share";
    return "copy the folder " + bundle::Bundle::main().resourcePath() + "/gnome-shell-extension/" +
           gnomeOverlayExtensionFolder(shellVersion) + " to " + data + "/gnome-shell/extensions/" +
           kGnomeOverlayExtension + ", log out and in again, then run gnome-extensions enable " +
           kGnomeOverlayExtension;
  }

  // Sends the waiting frame unless a call is on its way (its reply sends the next one).
  static void sendWaiting(dbus::Connection* connection, const std::shared_ptr<Traffic>& traffic) {
    connection->post([connection, traffic](sd_bus* bus) {
      std::shared_ptr<const Frame> frame;
      std::uint64_t generation = 0;
      {
        std::lock_guard<std::mutex> lock(traffic->mutex);
        if (traffic->sending || !traffic->waiting) return;
        frame = std::move(traffic->waiting);
        traffic->sending = true;
        generation = traffic->generation;
      }
      const auto arguments = [frame](sd_bus_message* m) {
        const Rect& at = frame->placement;
        const GnomeOverlayFrame& content = frame->content;
        int result =
            sd_bus_message_append(m, "(dddd)(uu)(uuuu)", at.minX(), at.minY(), at.width(), at.height(), content.width,
                                  content.height, content.left, content.top, content.columns, content.rows);
        if (result >= 0) result = sd_bus_message_append_array(m, 'y', content.png.data(), content.png.size());
        return result;
      };
      dbus::callMethod(bus, kShell, kGnomeOverlayPath, kGnomeOverlayInterface, "ShowFrame", arguments,
                       [connection, traffic, generation](const dbus::Reply& reply) {
                         double x = 0, y = 0, width = 0, height = 0;
                         const bool read =
                             reply.ok() && sd_bus_message_read(reply.message, "(dddd)", &x, &y, &width, &height) > 0;
                         {
                           std::lock_guard<std::mutex> lock(traffic->mutex);
                           traffic->sending = false;
                           // After a failed call no frame is known to be shown.
                           if (generation == traffic->generation) {
                             traffic->shownBounds = read ? std::optional<Rect>(Rect(x, y, width, height)) : std::nullopt;
                           }
                         }
                         noteOutcome(*traffic, reply, "show a frame");
                         sendWaiting(connection, traffic);
                       });
    });
  }

  // Logs the first failure of a run of failed calls, and the success that ends it.
  // Calls ended because the road closed its connection are no failure of the shell's.
  static void noteOutcome(Traffic& traffic, const dbus::Reply& reply, const char* what) {
    if (reply.error == dbus::kConnectionClosed) return;
    bool report = false;
    {
      std::lock_guard<std::mutex> lock(traffic.mutex);
      report = traffic.failing == reply.ok();
      traffic.failing = !reply.ok();
    }
    if (!report) return;
    if (reply.ok()) {
      overlayLog().info("GNOME Shell's overlay extension answers again");
    } else {
      overlayLog().error("GNOME Shell's overlay extension did not %s: %s", what, reply.error);
    }
  }

  std::unique_ptr<dbus::Connection> bus_;
  std::shared_ptr<Traffic> traffic_ = std::make_shared<Traffic>();
  // Main thread: what was sent last, to send an unchanged frame only once a second.
  bool showing_ = false;
  QImage sentImage_;
  Rect sentPlacement_;
  double sentAt_ = 0;
};

}  // namespace

GnomeOverlayFrame gnomeOverlayFrame(const QImage& frame) {
  const QImage image = frame.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
  GnomeOverlayFrame sent{static_cast<std::uint32_t>(image.width()), static_cast<std::uint32_t>(image.height())};
  int top = image.height(), bottom = -1, left = image.width(), right = -1;
  for (int y = 0; y < image.height(); ++y) {
    const std::uint8_t* row = image.constScanLine(y);
    for (int x = 0; x < image.width(); ++x) {
      if (row[4 * x + 3] == 0) continue;
      top = std::min(top, y), bottom = y;
      left = std::min(left, x), right = std::max(right, x);
    }
  }
  if (bottom < 0) return sent;  // nothing visible
  sent.left = left, sent.top = top, sent.columns = right - left + 1, sent.rows = bottom - top + 1;
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.copy(left, top, sent.columns, sent.rows).save(&buffer, "PNG", kPngQuality);
  sent.png.assign(png.begin(), png.end());
  return sent;
}

std::string gnomeOverlayExtensionFolder(const std::string& shellVersion) {
  const int major = std::atoi(shellVersion.c_str());
  return major >= 45 ? "shell-45" : "shell-43";
}

std::unique_ptr<LockScreenRoad> makeGnomeLockScreenRoad() { return std::make_unique<GnomeLockScreenRoad>(); }

}  // namespace platform::windowserver
