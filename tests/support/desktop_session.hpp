// Real desktop components for tests: child processes ended by their PID, an X server (Xvfb)
// on a free display number, a private D-Bus session bus, screenshots of the whole screen and
// input from outside (xdotool). Every helper has explicit time limits and ends what it started.
#pragma once

#include <sys/types.h>

#include <QColor>
#include <QImage>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

class ChildProcess {
 public:
  // Starts `argv` with the environment plus `environment` ("NAME=value"; an empty value
  // removes the name). Standard output and error go to `logPath` (appended) when given.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                             const std::vector<std::string>& environment = {},
                                             const std::string& logPath = "");
  // Takes charge of the process `pid` (a child of this one).
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  // Ends the process (SIGTERM, then SIGKILL after 3 s) when it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The exit status (128 + the signal for a process ended by one), or absent on time-out.
  std::optional<int> wait(double timeout);
  bool running();
  void terminate();
  // Lets the process go on by itself: it is no longer ended or waited for.
  void release();

 private:
  pid_t pid_;
  std::optional<int> status_;
};

// Runs a command to its end (at most `timeout` seconds); its exit status, or -1.
int runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
               double timeout = 20, std::string* output = nullptr);

// The colour of the virtual display's desktop.
inline constexpr QRgb kDesktopColour = 0xff4060a0;

// Xvfb on a display number it picks itself (-displayfd), its desktop painted kDesktopColour.
class VirtualDisplay {
 public:
  // `forThisProcess`: the server ends by itself when its last client (this process, which
  // must connect before the desktop is painted) goes away, as a Qt application of the test
  // process cannot outlive its server; the desktop is painted by `paintDesktop()` then.
  explicit VirtualDisplay(int width = 1024, int height = 768, bool forThisProcess = false);
  void paintDesktop();
  const std::string& name() const { return name_; }  // ":N", empty when it did not start
  int width() const { return width_; }
  int height() const { return height_; }
  std::string environment() const { return "DISPLAY=" + name_; }

 private:
  std::unique_ptr<ChildProcess> server_;
  std::string name_;
  int width_, height_;
};

// A dbus-daemon of the test's own (its own config, socket in `folder`).
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& folder);
  const std::string& address() const { return address_; }  // empty when it did not start
  std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

 private:
  std::unique_ptr<ChildProcess> daemon_;
  std::string address_;
};

// Polls `condition` every 20 ms until it holds or `timeout` seconds pass.
bool eventually(const std::function<bool()>& condition, double timeout);

// The whole screen of `display` (imagemagick's `import -window root`), also saved as
// `name`.png in the test output folder.
QImage screenshot(const std::string& display, const std::string& name);

// xdotool with `arguments` on `display`; true when it succeeded.
bool xdotool(const std::string& display, const std::vector<std::string>& arguments);

// The bounding box of the pixels of `image` within `tolerance` of `colour` (per channel).
QRect boxOf(const QImage& image, QRgb colour, int tolerance = 8);
// Whether the black of a notch-shaped panel on `image` is one whose body is `body` x `height`,
// hanging from the top of the screen, centred: its body and, at the top, its fillets (whose
// thin tips are not drawn, so between the body's width and 28 more).
bool notchPanelIs(const QImage& image, int body, int height);
// Whether the colour at (x, y) is within `tolerance` of `colour`.
bool pixelIs(const QImage& image, int x, int y, QRgb colour, int tolerance = 8);

}  // namespace quorvel::testing
