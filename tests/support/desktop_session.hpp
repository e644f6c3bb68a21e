// Real desktop components for tests: child processes ended by their PID, an X server (Xvfb)
// on a display number it picks itself, a private D-Bus session bus, screenshots of the whole
// screen and input from outside (xdotool). Every wait has a time limit.
#pragma once

#include <QImage>
#include <QProcess>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

class ChildProcess {
 public:
  // `environment` adds "NAME=value" entries ("NAME=" removes one); the pam_wrapper preloaded
  // into a test executable is passed on only when it sets LD_PRELOAD. Output goes to `logPath`
  // (else it can be read). Absent when it could not start.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                             const std::vector<std::string>& environment = {},
                                             const std::string& logPath = "");
  // Ends it by its PID (SIGTERM, SIGKILL after 3 s) when it still runs; it also ends when
  // this process does.
  ~ChildProcess();

  // The exit status (above 128 when a signal ended it), or absent on time-out.
  std::optional<int> wait(double timeout);
  bool running() { return process_.state() != QProcess::NotRunning; }
  // What it wrote to its standard output since the last call.
  std::string output();
  std::int64_t pid() const { return process_.processId(); }

 private:
  QProcess process_;
};

// Runs a command to its end (at most `timeout` s): its status, or -1; its output if asked.
int runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
               double timeout = 20, std::string* output = nullptr);

inline constexpr QRgb kDesktopColour = 0xff4060a0;

// Xvfb, its desktop painted kDesktopColour.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(int width = 1024, int height = 768);
  const std::string& name() const { return name_; }  // ":N"; empty when it did not start
  int width() const { return width_; }
  std::string environment() const { return "DISPLAY=" + name_; }

 private:
  std::unique_ptr<ChildProcess> server_;
  std::string name_;
  int width_, height_;
};

// This test process's Qt on an X server of its own, without a session bus (both end with the
// process: a Qt application cannot outlive its server); empty when Xvfb did not start.
const std::string& processDisplay();

// A dbus-daemon with a configuration of its own, listening on `folder`/bus (the same socket
// when it starts again in the same folder); `environment` as for ChildProcess.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& folder, const std::vector<std::string>& environment = {});
  const std::string& address() const { return address_; }  // empty when it did not start
  const std::string& socket() const { return socket_; }
  std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

 private:
  std::unique_ptr<ChildProcess> daemon_;
  std::string socket_, address_;
};

// Polls `condition` every 20 ms until it holds or `timeout` seconds pass.
bool eventually(const std::function<bool()>& condition, double timeout);
// The whole screen (`import -window root`), also saved as `name`.png in the test output.
QImage screenshot(const std::string& display, const std::string& name);
bool xdotool(const std::string& display, const std::vector<std::string>& arguments);
// The bounding box of the pixels of `colour` (within 8 per channel), and one pixel's test.
QRect boxOf(const QImage& image, QRgb colour);
bool pixelIs(const QImage& image, int x, int y, QRgb colour, int tolerance = 8);
// Whether the black of a notch-shaped panel whose body is `body` x `height` hangs from the
// top of `image`, centred: the body, and its fillets at the top (their thin tips not drawn).
bool notchPanelIs(const QImage& image, int body, int height);
// How many pixels show the green of the animation's face glyph in the open panel hanging from
// the top of `image` at `centre` (rows 8 to 71, 40 pixels each side).
int panelGreenPixels(const QImage& image, int centre);

}  // namespace quorvel::testing
