// The Linux capture system: cameras found in a sysfs and /dev tree of the test's own (names,
// capture nodes, the built-in camera, what the node allows), and recordings of dlib's
// example photos played through the application's CameraSession, in virtual time and on
// real threads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "capture/recordings.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "recognition/camera_session.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using platform::capture::DeviceType;
using platform::capture::LinuxCaptureOptions;
using platform::capture::LinuxCaptureSystem;

class LinuxCaptureTest : public PlatformTest {
 protected:
  void use(LinuxCaptureOptions options) {
    platform::capture::install(std::make_shared<LinuxCaptureSystem>(std::move(options)));
  }
  // A recording of the first `count` photos of examples/johns as a PNG sequence at 10 fps.
  std::string photoSequence(std::size_t count) {
    const auto paths = johnsPhotos();
    for (std::size_t i = 0; i < count && i < paths.size(); ++i) {
      photos.push_back(platform::image::readImageFile(paths[i]));
    }
    fs::create_directories(home() + "/sequence");
    return writeSequence(photos, home() + "/sequence");
  }
  void useRecording(const std::string& path, bool loop = false, double fps = 10) {
    use({.recording = path, .loop = loop, .frameRate = fps});
  }
  // Starts a camera session that notes which photo each frame shows, and when.
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
  std::vector<std::string> captureErrors() { return logs().messages("capture"); }

  std::vector<Frame> photos;
  std::vector<int> shown;
  std::vector<double> times;
};

// --- recordings ---

TEST_F(LinuxCaptureTest, ARecordingIsTheOneBuiltInCameraAndPlaysInOrderAtItsRateUntilItEnds) {
  useRecording(photoSequence(4));
  const auto camera = CameraSession::builtInCamera();
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->localizedName, "Recording frame%03d.png");
  EXPECT_TRUE(CameraSession::authorised());

  auto session = startCamera();
  EXPECT_TRUE(logs().contains("Camera configured: Recording frame%03d.png"));
  advance(0.35);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2}));
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], 0.1 * double(i + 1), 1e-9);
  // The end of the recording ends the session as a camera that went away does.
  advance(1);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(captureErrors(),
            std::vector<std::string>{"Camera \"Recording frame%03d.png\" stopped: the recording ended"});
  EXPECT_EQ(scheduler().pendingCount(), 0u) << "nothing left reading";
  // A new start plays it again from the beginning.
  std::optional<bool> running;
  session->start([&](bool r) { running = r; });
  advance(0.15);
  EXPECT_EQ(running, true);
  EXPECT_EQ(shown.back(), 0);
}

TEST_F(LinuxCaptureTest, AnMjpegVideoPlaysAtItsOwnRateAndLoopsWhenAskedAndStopReallyStops) {
  photoSequence(3);
  useRecording(writeVideo(photos, 20, home() + "/faces.avi"), /*loop=*/true, /*fps=*/0);
  auto session = startCamera();
  advance(0.36);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_NEAR(times[1] - times[0], 0.05, 1e-9);
  session->stop();
  runUntilIdle();
  EXPECT_FALSE(session->isRunning());
  advance(2);
  EXPECT_EQ(shown.size(), 7u);
  EXPECT_TRUE(captureErrors().empty()) << "a stop asked for is no error";
}

TEST_F(LinuxCaptureTest, TheEnvironmentNamesTheRecordingItsLoopAndItsRate) {
  ::setenv("QUORVEL_CAMERA", "/videos/face.avi", 1);
  ::setenv("QUORVEL_CAMERA_LOOP", "1", 1);
  ::setenv("QUORVEL_CAMERA_FPS", "12.5", 1);
  auto options = LinuxCaptureOptions::fromEnvironment();
  EXPECT_EQ(options.recording, "/videos/face.avi");
  EXPECT_TRUE(options.loop);
  EXPECT_EQ(options.frameRate, 12.5);
  ::setenv("QUORVEL_CAMERA_LOOP", "yes", 1);
  ::setenv("QUORVEL_CAMERA_FPS", "fast", 1);
  options = LinuxCaptureOptions::fromEnvironment();
  EXPECT_FALSE(options.loop);
  EXPECT_EQ(options.frameRate, 0);
  for (const char* name : {"QUORVEL_CAMERA", "QUORVEL_CAMERA_LOOP", "QUORVEL_CAMERA_FPS"}) ::unsetenv(name);
  EXPECT_TRUE(LinuxCaptureOptions::fromEnvironment().recording.empty());
}

// A recording that cannot be played is no camera: the application's own "no camera" road,
// with the cause in the capture log.
struct BadRecording {
  const char* name;
  const char* contents;  // nullptr: not written
  const char* cause;
};

class BadRecordingTest : public LinuxCaptureTest, public ::testing::WithParamInterface<BadRecording> {};

TEST_P(BadRecordingTest, IsNoCameraWithAClearError) {
  const std::string path = home() + "/" + GetParam().name;
  if (GetParam().contents) std::ofstream(path) << GetParam().contents;
  useRecording(path);
  EXPECT_FALSE(CameraSession::builtInCamera());
  EXPECT_TRUE(CameraSession::authorised());
  startCamera(/*expectRunning=*/false);
  EXPECT_TRUE(logs().contains("No built-in camera available"));
  const auto errors = captureErrors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0], "Camera recording \"" + path + "\" cannot be played: " + GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, BadRecordingTest,
    ::testing::Values(BadRecording{"missing.avi", nullptr, "no such file"},
                      BadRecording{"notes.avi", "not a video at all",
                                   "not a video or numbered image sequence that can be decoded"},
                      BadRecording{"none%03d.png", nullptr,
                                   "not a video or numbered image sequence that can be decoded"}),
    [](const auto& info) { return std::string(info.param.name).substr(0, 4); });

// On real threads: frames come on the camera queue in the recording's order; those that
// come while the handler is still busy are dropped; after stop no frame comes.
TEST_F(LinuxCaptureTest, OnRealThreadsLateFramesAreDroppedAndStopReallyStops) {
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  photoSequence(20);
  useRecording(writeVideo(photos, 25, home() + "/fast.avi"), /*loop=*/false, /*fps=*/0);
  struct Seen {
    std::mutex mutex;
    std::vector<int> shown;
    std::atomic<bool> onMain{false};
  };
  const auto seen = std::make_shared<Seen>();
  auto session = CameraSession::create();
  session->onFrame = [seen, sources = photos](const Frame& frame) {
    if (platform::dispatch::isMainThread()) seen->onMain = true;
    const int index = whichFrame(*frame, sources).first;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // one and a half frame intervals
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->shown.push_back(index);
  };
  session->start(nullptr);
  auto count = [&] {
    std::lock_guard<std::mutex> lock(seen->mutex);
    return seen->shown.size();
  };
  // The main loop looks at its condition only when main-queue work comes: look often.
  auto waitUntil = [](const std::function<bool()>& condition, double seconds) {
    for (double waited = 0; waited < seconds; waited += 0.01) {
      if (platform::dispatch::runMainLoopUntil(condition, 0.01)) return true;
    }
    return condition();
  };
  ASSERT_TRUE(waitUntil([&] { return count() >= 3; }, 10));
  session->stop();
  ASSERT_TRUE(waitUntil([&] { return !session->isRunning(); }, 10));
  const std::size_t atStop = count();
  waitUntil([] { return false; }, 0.3);
  EXPECT_EQ(count(), atStop) << "a frame came after the stop";
  EXPECT_FALSE(seen->onMain);
  std::lock_guard<std::mutex> lock(seen->mutex);
  int skipped = 0;
  for (std::size_t i = 1; i < seen->shown.size(); ++i) {
    const int step = seen->shown[i] - seen->shown[i - 1];
    EXPECT_GT(step, 0) << "out of order";
    skipped += step - 1;
  }
  EXPECT_GT(skipped, 0) << "no late frame was dropped";
}

// --- cameras ---

// A sysfs and /dev tree of the test's own: video nodes with their driver's names and
// indexes, and the USB device above each (its "removable" answer).
struct Node {
  int number;
  const char* name;
  int index;
  const char* removable;  // nullptr: not reported
};

struct Machine {
  const char* title;
  std::vector<Node> nodes;
  std::vector<std::string> cameras;  // the capture devices found, in order
  std::string builtIn;               // empty: none
};

class CamerasTest : public LinuxCaptureTest, public ::testing::WithParamInterface<Machine> {
 protected:
  LinuxCaptureOptions makeTree(const std::vector<Node>& nodes, const std::string& root) {
    for (const Node& node : nodes) {
      const fs::path dir = root + "/sys/class/video4linux/video" + std::to_string(node.number);
      const fs::path usb = root + "/sys/devices/usb" + std::to_string(node.number);
      fs::create_directories(dir);
      fs::create_directories(usb / "1-1:1.0");
      std::ofstream(dir / "name") << node.name << "\n";
      std::ofstream(dir / "index") << node.index << "\n";
      if (node.removable) std::ofstream(usb / "removable") << node.removable << "\n";
      fs::create_directory_symlink(usb / "1-1:1.0", dir / "device");
      fs::create_directories(root + "/dev");
      std::ofstream(root + "/dev/video" + std::to_string(node.number)) << "";
    }
    return {.sysfsRoot = root + "/sys", .deviceRoot = root + "/dev"};
  }
};

TEST_P(CamerasTest, AreTheCaptureNodesWithTheirDriversNamesAndOneBuiltInCamera) {
  LinuxCaptureSystem system(makeTree(GetParam().nodes, home()));
  std::vector<std::string> names;
  std::string builtIn;
  const auto devices = system.discoverDevices({DeviceType::builtInWideAngleCamera, DeviceType::external},
                                              platform::capture::MediaType::video,
                                              platform::capture::DevicePosition::unspecified);
  for (const auto& device : devices) {
    names.push_back(device.localizedName);
    if (device.deviceType == DeviceType::builtInWideAngleCamera) {
      EXPECT_TRUE(builtIn.empty()) << "two built-in cameras";
      builtIn = device.localizedName;
      EXPECT_EQ(device.position, platform::capture::DevicePosition::front);
    }
    EXPECT_EQ(device.uniqueID.rfind(home() + "/dev/video", 0), 0u);
  }
  EXPECT_EQ(names, GetParam().cameras);
  EXPECT_EQ(builtIn, GetParam().builtIn);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, CamerasTest,
    ::testing::Values(
        // A laptop with its camera and a USB camera, each with a metadata node.
        Machine{"IntegratedByName",
                {{0, "USB Camera: USB Camera", 0, "removable"}, {1, "USB Camera: USB Camera", 1, "removable"},
                 {2, "Integrated Camera: Integrated C", 0, nullptr}, {3, "Integrated Camera: Integrated C", 1, nullptr}},
                {"USB Camera: USB Camera", "Integrated Camera: Integrated C"},
                "Integrated Camera: Integrated C"},
        // Names tell nothing; the port the second camera is wired to does.
        Machine{"FixedPort",
                {{0, "HD Webcam C615", 0, "removable"}, {4, "HD WebCam", 0, "fixed"}},
                {"HD Webcam C615", "HD WebCam"},
                "HD WebCam"},
        // Nothing tells them apart: the first capture device, in node order.
        Machine{"FirstOfTwo",
                {{10, "Camera Ten", 0, "unknown"}, {2, "Camera Two", 0, nullptr}},
                {"Camera Two", "Camera Ten"},
                "Camera Two"},
        Machine{"NoCamera", {}, {}, ""}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(CamerasTest, ANodeMissingFromDevIsNoCameraAndNoCameraIsTheNoCameraRoad) {
  auto options = makeTree({{0, "Integrated Camera", 0, nullptr}}, home());
  fs::remove(home() + "/dev/video0");
  use(options);
  EXPECT_FALSE(CameraSession::builtInCamera());
  EXPECT_TRUE(CameraSession::authorised());
  startCamera(/*expectRunning=*/false);
  EXPECT_EQ(logs().messages(), std::vector<std::string>{"No built-in camera available"});
}

// What the built-in camera's node allows an ordinary user: its authorisation text and
// whether an input can be made of it. Root may open anything, so as root the answer is
// taken in a child that becomes "nobody" first.
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
    ::close(pipe[0]);
    const std::string text = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? answer() : "still root";
    (void)!::write(pipe[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(pipe[0]);
  ::waitpid(child, nullptr, 0);
  return text;
}

TEST_F(CamerasTest, TheNodeReadableAndWritableIsAuthorisedAndAClosedOneIsDenied) {
  using fs::perms;
  fs::permissions(home(), perms::owner_all | perms::group_exec | perms::others_exec);
  use(makeTree({{0, "Integrated Camera", 0, nullptr}}, home()));
  const std::string node = home() + "/dev/video0";
  // The user is "others" for root's files, the owner otherwise.
  const bool root = ::geteuid() == 0;
  const perms read = root ? perms::others_read : perms::owner_read;
  const perms write = root ? perms::others_write : perms::owner_write;

  fs::permissions(node, read | write);
  EXPECT_EQ(answerAsUser(), "authorized / input");
  const std::string denied = "denied \u2014 must be re-enabled in System Settings / Not authorized to use Integrated Camera";
  fs::permissions(node, perms::none);
  EXPECT_EQ(answerAsUser(), denied);
  fs::permissions(node, read);
  EXPECT_EQ(answerAsUser(), denied) << "a camera that cannot be written is closed too";
}

}  // namespace
}  // namespace quorvel::testing
