#include "support/desktop_session.hpp"

#include <signal.h>
#include <sys/prctl.h>

#include <QColor>
#include <QProcessEnvironment>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/ui/gui.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const std::vector<std::string>& environment,
                                                  const std::string& logPath) {
  auto child = std::make_unique<ChildProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  // A test executable runs with pam_wrapper preloaded; its children get it only when asked
  // for. Every process that loads it takes one of a few dozen folders /tmp/pam.? while it
  // runs and ends at once (status 1, silently) when it finds none free or loses the race for
  // one, which a suite running in parallel reaches.
  if (env.value("LD_PRELOAD").contains("pam_wrapper") &&
      std::none_of(environment.begin(), environment.end(),
                   [](const std::string& change) { return change.starts_with("LD_PRELOAD="); })) {
    env.remove("LD_PRELOAD");
    env.remove("PAM_WRAPPER");
  }
  for (const auto& change : environment) {
    const auto equals = change.find('=');
    const QString name = QString::fromStdString(change.substr(0, equals));
    if (equals + 1 < change.size()) {
      env.insert(name, QString::fromStdString(change.substr(equals + 1)));
    } else {
      env.remove(name);
    }
  }
  child->process_.setProcessEnvironment(env);
  child->process_.setStandardInputFile(QProcess::nullDevice());
  if (!logPath.empty()) {
    child->process_.setStandardOutputFile(QString::fromStdString(logPath), QIODevice::Append);
    child->process_.setStandardErrorFile(QString::fromStdString(logPath), QIODevice::Append);
  }
  // It ends with this process too, however this one ends.
  child->process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
  QStringList arguments;
  for (std::size_t i = 1; i < argv.size(); ++i) arguments << QString::fromStdString(argv[i]);
  child->process_.start(QString::fromStdString(argv[0]), arguments);
  if (!child->process_.waitForStarted(10000)) return nullptr;
  return child;
}

ChildProcess::~ChildProcess() {
  if (!running()) return;
  process_.terminate();
  if (!process_.waitForFinished(3000)) process_.kill(), process_.waitForFinished(3000);
}

std::optional<int> ChildProcess::wait(double timeout) {
  if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(static_cast<int>(timeout * 1000))) {
    return std::nullopt;
  }
  // A process ended by a signal has no exit code: 128, as a shell reports it, plus at least 1.
  return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : 129;
}

std::string ChildProcess::output() {
  if (running()) process_.waitForReadyRead(50);
  return process_.readAllStandardOutput().toStdString();
}

int runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               double timeout, std::string* output) {
  auto child = ChildProcess::start(argv, environment);
  if (!child) return -1;
  const int status = child->wait(timeout).value_or(-1);
  if (output) *output = child->output();
  return status;
}

const std::string& processDisplay() {
  static auto* display = new VirtualDisplay();
  static const std::string name = [] {
    if (display->name().empty()) return std::string();
    ::setenv("DISPLAY", display->name().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // No session bus: nothing may start one that outlives the test.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvel-test-bus", 1);
    platform::ui::startGui();
    return display->name();
  }();
  return name;
}

VirtualDisplay::VirtualDisplay(int width, int height) : width_(width), height_(height) {
  // The painted desktop stays: the server is not reset when its last client leaves.
  server_ = ChildProcess::start({"Xvfb", "-displayfd", "1", "-screen", "0",
                                 std::to_string(width) + "x" + std::to_string(height) + "x24",
                                 "-nolisten", "tcp", "-noreset"});
  std::string number;
  eventually([&] { return server_ && (number += server_->output()).find('\n') != std::string::npos; }, 20);
  if (number.find('\n') == std::string::npos) return;
  name_ = ":" + number.substr(0, number.find('\n'));
  runCommand({"display", "-size", std::to_string(width_) + "x" + std::to_string(height_), "-window",
              "root", "xc:" + QColor(kDesktopColour).name().toStdString()},
             {environment()});
}

PrivateBus::PrivateBus(const std::string& folder, const std::vector<std::string>& environment)
    : socket_(folder + "/bus") {
  std::filesystem::create_directories(folder);
  std::filesystem::remove(socket_);  // an earlier daemon's, when the bus starts again
  const std::string config = folder + "/bus.conf";
  std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << socket_
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
  daemon_ = ChildProcess::start(
      {"dbus-daemon", "--nofork", "--config-file=" + config, "--print-address=1"}, environment);
  // The daemon prints its address once it listens.
  std::string printed;
  eventually(
      [&] { return daemon_ && (printed += daemon_->output()).find('\n') != std::string::npos; },
      15);
  if (printed.find('\n') != std::string::npos) address_ = printed.substr(0, printed.find('\n'));
}

bool eventually(const std::function<bool()>& condition, double timeout) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

QImage screenshot(const std::string& display, const std::string& name) {
  const std::string path = testOutputFolder() + "/" + name + ".png";
  runCommand({"import", "-window", "root", path}, {"DISPLAY=" + display});
  return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
}

bool xdotool(const std::string& display, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCommand(argv, {"DISPLAY=" + display}) == 0;
}

bool pixelIs(const QImage& image, int x, int y, QRgb colour, int tolerance) {
  const QRgb p = image.valid(x, y) ? image.pixel(x, y) : ~colour;
  return std::abs(qRed(p) - qRed(colour)) <= tolerance &&
         std::abs(qGreen(p) - qGreen(colour)) <= tolerance && std::abs(qBlue(p) - qBlue(colour)) <= tolerance;
}

int panelGreenPixels(const QImage& image, int centre) {
  int count = 0;
  for (int y = 8; y < 72; ++y) {
    for (int x = centre - 40; x < centre + 40; ++x) {
      const QRgb p = image.valid(x, y) ? image.pixel(x, y) : 0;
      count += qGreen(p) > 120 && qGreen(p) > 2 * qRed(p) && qGreen(p) > qBlue(p) + 40;
    }
  }
  return count;
}

QRect boxOf(const QImage& image, QRgb colour) {
  QRect box;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (pixelIs(image, x, y, colour)) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

bool notchPanelIs(const QImage& image, int body, int height) {
  const QRect box = boxOf(image, 0xff000000);
  return box.top() == 0 && box.height() == height && std::abs(box.center().x() * 2 + 1 - image.width()) <= 2 &&
         box.width() > body && box.width() <= body + 28;
}

}  // namespace quorvel::testing
