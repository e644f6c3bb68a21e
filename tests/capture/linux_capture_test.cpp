// The Linux capture system under the application's CameraSession: recordings of dlib's
// example photos (in virtual time and on real threads), and cameras in a sysfs and /dev tree
// of the test's own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "capture/recordings.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "recognition/camera_session.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using platform::capture::DeviceType;
using platform::capture::LinuxCaptureOptions;
using platform::capture::LinuxCaptureSystem;

// Which photo (all of one size) a frame shows: the nearest by mean absolute difference, and
// that difference (0 to 255).
std::pair<int, double> whichFrame(platform::image::PixelBuffer& frame, const std::vector<Frame>& photos) {
  using platform::image::BaseAddressLock, platform::image::LockFlags;
  std::pair<int, double> best{-1, 256};
  BaseAddressLock lock(frame, LockFlags::readOnly);
  for (std::size_t i = 0; i < photos.size(); ++i) {
    BaseAddressLock other(*photos[i], LockFlags::readOnly);
    if (photos[i]->bytesPerRow() != frame.bytesPerRow() || photos[i]->height() != frame.height()) continue;
    double sum = 0;  // the rows' padding is zero in both
    for (std::size_t byte = 0; byte < frame.bytesPerRow() * frame.height(); ++byte) {
      sum += std::abs(frame.baseAddress()[byte] - photos[i]->baseAddress()[byte]);
    }
    const double mean = sum / (frame.width() * frame.height() * 4.0);
    if (mean < best.second) best = {int(i), mean};
  }
  return best;
}

class LinuxCaptureTest : public PlatformTest {
 protected:
  void use(LinuxCaptureOptions options) {
    platform::capture::install(std::make_shared<LinuxCaptureSystem>(std::move(options)));
  }
  // The first `count` photos of examples/johns as a PNG sequence.
  std::string photoSequence(std::size_t count) {
    for (const auto& path : johnsPhotos()) {
      if (photos.size() < count) photos.push_back(platform::image::readImageFile(path));
    }
    fs::create_directories(home() + "/sequence");
    return writeSequence(photos, home() + "/sequence");
  }
  // Starts a session that notes which photo each frame shows, and when.
  std::shared_ptr<CameraSession> startCamera(bool expectRunning = true) {
    auto camera = CameraSession::create();
    camera->onFrame = [this](const Frame& frame) {
      const auto [index, distance] = whichFrame(*frame, photos);
      EXPECT_LT(distance, 4) << "a frame unlike every photo";
      shown.push_back(index);
      times.push_back(now());
    };
    std::optional<bool> running;
    camera->start([&](bool r) { running = r; });
    runUntilIdle();
    EXPECT_EQ(running, expectRunning);
    return camera;
  }

  std::vector<Frame> photos;
  std::vector<int> shown;
  std::vector<double> times;
};

TEST_F(LinuxCaptureTest, ARecordingIsTheBuiltInCameraPlayingInOrderAtItsRateUntilItEnds) {
  use({.recording = photoSequence(4), .frameRate = 10});
  ASSERT_TRUE(CameraSession::builtInCamera());
  EXPECT_EQ(CameraSession::builtInCamera()->localizedName, "Recording frame%03d.png");
  EXPECT_TRUE(CameraSession::authorised());
  auto session = startCamera();
  advance(0.35);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2}));
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], 0.1 * double(i + 1), 1e-9);
  // Its end stops the session as a camera that goes away does.
  advance(1);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(logs().messages("capture"),
            std::vector<std::string>{"Camera \"Recording frame%03d.png\" stopped: the recording ended"});
  EXPECT_EQ(scheduler().pendingCount(), 0u) << "nothing left reading";
  // A new start plays it from the beginning.
  session->start(nullptr);
  advance(0.15);
  EXPECT_TRUE(session->isRunning());
  EXPECT_EQ(shown.back(), 0);
}

// A recording that cannot be played is no camera, with the cause in the capture log.
struct BadRecording {
  const char* name;
  const char* contents;  // nullptr: no such file
  const char* cause;
};
void PrintTo(const BadRecording& recording, std::ostream* out) { *out << recording.name; }

class BadRecordingTest : public LinuxCaptureTest, public ::testing::WithParamInterface<BadRecording> {};

TEST_P(BadRecordingTest, IsNoCameraWithAClearError) {
  const std::string path = home() + "/" + GetParam().name;
  if (GetParam().contents) std::ofstream(path) << GetParam().contents;
  use({.recording = path});
  EXPECT_FALSE(CameraSession::builtInCamera());
  startCamera(/*expectRunning=*/false);
  EXPECT_TRUE(logs().contains("No built-in camera available"));
  EXPECT_EQ(logs().messages("capture").at(0),
            "Camera recording \"" + path + "\" cannot be played: " + GetParam().cause);
}

const char* const kUndecodable = "not a video or numbered image sequence that can be decoded";
INSTANTIATE_TEST_SUITE_P(Recordings, BadRecordingTest,
                         ::testing::Values(BadRecording{"missing.avi", nullptr, "no such file"},
                                           BadRecording{"notes.avi", "not a video", kUndecodable},
                                           BadRecording{"none%03d.png", nullptr, kUndecodable}),
                         [](const auto& info) { return std::string(info.param.name).substr(0, 4); });

TEST_F(LinuxCaptureTest, OnRealThreadsLateFramesAreDroppedAndStopReallyStops) {
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  photoSequence(20);
  use({.recording = writeVideo(photos, 25, home() + "/fast.avi")});
  struct Seen {
    std::mutex mutex;
    std::vector<int> shown;  // -1: a frame on the main thread
  };
  const auto seen = std::make_shared<Seen>();
  auto session = CameraSession::create();
  session->onFrame = [seen, sources = photos](const Frame& frame) {
    const int index = platform::dispatch::isMainThread() ? -1 : whichFrame(*frame, sources).first;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // 1.5 frame intervals
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->shown.push_back(index);
  };
  auto count = [seen] {
    std::lock_guard<std::mutex> lock(seen->mutex);
    return seen->shown.size();
  };
  // The main loop tests its condition only when main-queue work comes: test it often.
  auto waitUntil = [](const std::function<bool()>& condition, double seconds) {
    for (double waited = 0; waited < seconds; waited += 0.01) {
      if (platform::dispatch::runMainLoopUntil(condition, 0.01)) return true;
    }
    return false;
  };
  session->start(nullptr);
  ASSERT_TRUE(waitUntil([&] { return count() >= 3; }, 10));
  session->stop();
  ASSERT_TRUE(waitUntil([&] { return !session->isRunning(); }, 10));
  const std::size_t atStop = count();
  waitUntil([] { return false; }, 0.3);
  EXPECT_EQ(count(), atStop) << "a frame came after the stop";
  const auto shown = seen->shown;
  for (std::size_t i = 1; i < shown.size(); ++i) EXPECT_GT(shown[i], shown[i - 1]) << "out of order";
  EXPECT_GE(shown.front(), 0);
  EXPECT_GT(shown.back() - shown.front() + 1, int(shown.size())) << "no late frame was dropped";
}

// Video nodes with their driver's names and sysfs indexes, and the USB device above each.
struct Node {
  int number;
  const char* name;
  int index = 0;                    // 1: a camera's metadata node
  const char* removable = nullptr;  // the USB port's answer; nullptr: none
  bool inDev = true;                // false: sysfs lists it, /dev has no node
};

struct Machine {
  const char* title;
  std::vector<Node> nodes;
  std::vector<std::string> cameras;  // the capture devices found, in order
  std::string builtIn;               // empty: none
};
void PrintTo(const Machine& machine, std::ostream* out) { *out << machine.title; }

class CamerasTest : public LinuxCaptureTest, public ::testing::WithParamInterface<Machine> {
 protected:
  LinuxCaptureOptions makeTree(const std::vector<Node>& nodes) {
    fs::create_directories(home() + "/dev");
    for (const Node& node : nodes) {
      const fs::path dir = home() + "/sys/class/video4linux/video" + std::to_string(node.number);
      const fs::path usb = home() + "/sys/devices/usb" + std::to_string(node.number);
      fs::create_directories(dir);
      fs::create_directories(usb / "1-1:1.0");
      fs::create_directory_symlink(usb / "1-1:1.0", dir / "device");
      std::ofstream(dir / "name") << node.name << "\n";
      std::ofstream(dir / "index") << node.index << "\n";
      if (node.removable) std::ofstream(usb / "removable") << node.removable << "\n";
      if (node.inDev) std::ofstream(home() + "/dev/video" + std::to_string(node.number)) << "";
    }
    return {.sysfsRoot = home() + "/sys", .deviceRoot = home() + "/dev"};
  }
};

TEST_P(CamerasTest, AreTheCaptureNodesWithTheirDriversNamesAndOneBuiltInCamera) {
  use(makeTree(GetParam().nodes));
  std::vector<std::string> names;
  for (const auto& device : platform::capture::current()->discoverDevices(
           {DeviceType::builtInWideAngleCamera, DeviceType::external}, platform::capture::MediaType::video,
           platform::capture::DevicePosition::unspecified)) {
    names.push_back(device.localizedName);
    EXPECT_EQ(device.uniqueID.rfind(home() + "/dev/video", 0), 0u);
  }
  EXPECT_EQ(names, GetParam().cameras);
  const auto builtIn = CameraSession::builtInCamera();
  EXPECT_EQ(builtIn ? builtIn->localizedName : "", GetParam().builtIn);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, CamerasTest,
    ::testing::Values(
        Machine{"IntegratedByName",
                {{0, "USB Camera: USB Camera", 0, "removable"}, {1, "USB Camera: USB Camera", 1, "removable"},
                 {2, "Integrated Camera: Integrated C"}, {3, "Integrated Camera: Integrated C", 1}},
                {"USB Camera: USB Camera", "Integrated Camera: Integrated C"},
                "Integrated Camera: Integrated C"},
        Machine{"FixedPort", {{0, "HD Webcam C615", 0, "removable"}, {4, "HD WebCam", 0, "fixed"}},
                {"HD Webcam C615", "HD WebCam"}, "HD WebCam"},
        Machine{"FirstInNodeOrder", {{10, "Camera Ten", 0, "unknown"}, {1, "Gone", 0, nullptr, false}, {2, "Camera Two"}},
                {"Camera Two", "Camera Ten"}, "Camera Two"},
        Machine{"NoCamera", {}, {}, ""}),
    [](const auto& info) { return std::string(info.param.title); });

// The built-in camera's authorisation text and whether an input can be made of it, as an
// ordinary user: root may open anything, so as root in a child that becomes "nobody".
std::string answerAsUser() {
  auto answer = [] {
    std::string error;
    const auto camera = CameraSession::builtInCamera();
    const bool input = camera && platform::capture::current()->makeDeviceInput(*camera, &error);
    return CameraSession::authorisationStatusDescription() + (input ? " / input" : " / " + error);
  };
  if (::geteuid() != 0) return answer();
  int pipe[2];
  if (::pipe(pipe) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    const std::string text = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? answer() : "still root";
    ::_exit(::write(pipe[1], text.data(), text.size()) < 0);
  }
  ::close(pipe[1]);
  char buffer[512];
  const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);  // one short write
  ::close(pipe[0]);
  ::waitpid(child, nullptr, 0);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

TEST_F(CamerasTest, TheNodeReadableAndWritableIsAuthorisedAndAClosedOneIsDenied) {
  using fs::perms;
  fs::permissions(home(), perms::owner_all | perms::group_exec | perms::others_exec);
  use(makeTree({{0, "Integrated Camera"}}));
  const std::string node = home() + "/dev/video0";
  const bool root = ::geteuid() == 0;  // the user is "others" for root's files
  const perms read = root ? perms::others_read : perms::owner_read;
  const perms write = root ? perms::others_write : perms::owner_write;
  fs::permissions(node, read | write);
  EXPECT_EQ(answerAsUser(), "authorized / input");
  const std::string denied =
      "denied \u2014 must be re-enabled in System Settings / Not authorized to use Integrated Camera";
  fs::permissions(node, perms::none);
  EXPECT_EQ(answerAsUser(), denied) << "a closed camera is still found, and said to be closed";
  fs::permissions(node, read);
  EXPECT_EQ(answerAsUser(), denied) << "a camera that cannot be written is closed too";
}

}  // namespace
}  // namespace quorvel::testing
