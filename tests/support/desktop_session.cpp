#include "support/desktop_session.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "support/platform_fixture.hpp"

extern char** environ;

namespace quorvel::testing {
namespace {

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) result.emplace_back(*entry);
  for (const auto& change : changes) {
    const auto name = change.substr(0, change.find('=') + 1);
    std::erase_if(result, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    if (change.size() > name.size()) result.push_back(change);
  }
  return result;
}

// Forks and execs; `outputFd` (if >= 0) becomes standard output and error, `keepFd` stays open.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            int outputFd, int keepFd = -1) {
  std::vector<std::string> env = mergedEnvironment(environment);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(outputFd >= 0 ? outputFd : null, 1);
    ::dup2(outputFd >= 0 ? outputFd : null, 2);
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keepFd) ::close(fd);
    }
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

int statusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const std::vector<std::string>& environment,
                                                  const std::string& logPath) {
  int fd = -1;
  if (!logPath.empty()) fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const pid_t pid = spawn(argv, environment, fd);
  if (fd >= 0) ::close(fd);
  if (pid <= 0) return nullptr;
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid));
}

ChildProcess::~ChildProcess() { terminate(); }

std::optional<int> ChildProcess::wait(double timeout) {
  if (status_) return status_;
  const double end = seconds() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = statusOf(raw);
      return status_;
    }
    if (done < 0 || seconds() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::running() { return !wait(0).has_value(); }

void ChildProcess::release() { status_ = 0; }

void ChildProcess::terminate() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (!wait(3)) {
    ::kill(pid_, SIGKILL);
    wait(3);
  }
}

int runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               double timeout, std::string* output) {
  char pattern[] = "/tmp/quorvel-command-XXXXXX";
  const int fd = ::mkstemp(pattern);
  if (fd < 0) return -1;
  const pid_t pid = spawn(argv, environment, fd);
  ::close(fd);
  ChildProcess child(pid);
  const auto status = child.wait(timeout);
  if (output) {
    std::ifstream in(pattern);
    output->assign(std::istreambuf_iterator<char>(in), {});
  }
  ::unlink(pattern);
  return status.value_or(-1);
}

VirtualDisplay::VirtualDisplay(int width, int height, bool forThisProcess)
    : width_(width), height_(height) {
  int fds[2];
  if (::pipe(fds) != 0) return;
  std::vector<std::string> argv{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                std::to_string(width) + "x" + std::to_string(height) + "x24",
                                "-nolisten", "tcp"};
  // The desktop painted once stays: the server is not reset when its last client leaves,
  // unless it is to end then.
  argv.push_back(forThisProcess ? "-terminate" : "-noreset");
  const pid_t pid = spawn(argv, {}, -1, fds[1]);
  ::close(fds[1]);
  if (pid <= 0) {
    ::close(fds[0]);
    return;
  }
  server_.reset(new ChildProcess(pid));
  std::string number;
  char c;
  const double end = seconds() + 20;
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  while (seconds() < end) {
    const auto n = ::read(fds[0], &c, 1);
    if (n == 1 && c == '\n') break;
    if (n == 1) number += c;
    if (n == 0) break;
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fds[0]);
  if (number.empty()) return;
  name_ = ":" + number;
  if (forThisProcess) {
    server_->release();
  } else {
    paintDesktop();
  }
}

void VirtualDisplay::paintDesktop() {
  // A plain coloured desktop, so that windows of any colour stand out.
  runCommand({"display", "-size", std::to_string(width_) + "x" + std::to_string(height_), "-window",
              "root", "xc:" + QColor(kDesktopColour).name().toStdString()},
             {environment()});
}

PrivateBus::PrivateBus(const std::string& folder) {
  const std::string config = folder + "/bus.conf";
  std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir=" << folder
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
  const std::string addressFile = folder + "/bus.address";
  daemon_ = ChildProcess::start({"dbus-daemon", "--nofork", "--config-file=" + config,
                                 "--print-address=1"},
                                {}, addressFile);
  eventually([&] {
    std::ifstream in(addressFile);
    std::getline(in, address_);
    return !address_.empty();
  }, 10);
}

bool eventually(const std::function<bool()>& condition, double timeout) {
  const double end = seconds() + timeout;
  for (;;) {
    if (condition()) return true;
    if (seconds() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

QImage screenshot(const std::string& display, const std::string& name) {
  const std::string path = testOutputFolder() + "/" + name + ".png";
  runCommand({"import", "-window", "root", path}, {"DISPLAY=" + display});
  QImage image(QString::fromStdString(path));
  return image.convertToFormat(QImage::Format_RGB32);
}

bool xdotool(const std::string& display, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCommand(argv, {"DISPLAY=" + display}) == 0;
}

bool pixelIs(const QImage& image, int x, int y, QRgb colour, int tolerance) {
  if (!image.valid(x, y)) return false;
  const QRgb p = image.pixel(x, y);
  return std::abs(qRed(p) - qRed(colour)) <= tolerance &&
         std::abs(qGreen(p) - qGreen(colour)) <= tolerance &&
         std::abs(qBlue(p) - qBlue(colour)) <= tolerance;
}

QRect boxOf(const QImage& image, QRgb colour, int tolerance) {
  QRect box;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (pixelIs(image, x, y, colour, tolerance)) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

}  // namespace quorvel::testing

namespace quorvel::testing {

bool notchPanelIs(const QImage& image, int body, int height) {
  const QRect box = boxOf(image, 0xff000000);
  return box.top() == 0 && box.height() == height &&
         std::abs(box.center().x() * 2 + 1 - image.width()) <= 2 && box.width() > body &&
         box.width() <= body + 28;
}

}  // namespace quorvel::testing
