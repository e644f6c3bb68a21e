// The Linux capture system: under the application's CameraSession, recordings of dlib's
// example photos (in virtual time and on real threads) and cameras in a sysfs and /dev tree of
// the test's own; and the camera roads of the application on recordings named in
// QUORVEL_CAMERA: enrolment from one person turning their head, then "--diagnose-camera" (the
// match test) on that person's other photos and on someone else's, and the open-hand cancel of
// an unlock attempt. Faces and hands are found by the real detectors (dlib, the shipped
// MediaPipe models), with the shipped liveness model; the rest is the simulated machine.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/diagnostics_camera.hpp"
#include "coordinator/coordinator_fixture.hpp"
#include "onboarding/enrolment_model.hpp"
#include "platform/capture/capture_linux.hpp"
#include "platform/capture/simulated_capture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/image_io.hpp"
#include "platform/vision/hand_pose_linux.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/face_detector.hpp"
#include "support/E_printed_lines.hpp"
#include "support/face_recordings.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using platform::capture::DeviceType;
using platform::capture::LinuxCaptureOptions;
using platform::capture::LinuxCaptureSystem;
using recordings::placedPhoto;

// The frames as a numbered PNG sequence in `folder` (made here); returns its pattern.
std::string writeSequence(const std::vector<Frame>& frames, const std::string& folder) {
  fs::create_directories(folder);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame%03zu.png", i);
    EXPECT_TRUE(platform::image::writePNG(*frames[i], folder + name));
  }
  return folder + "/frame%03d.png";
}

std::string writeVideo(const std::vector<Frame>& frames, double fps, const std::string& path) {
  std::string error;
  EXPECT_TRUE(platform::capture::writeRecording(path, frames, fps, &error)) << error;
  return path;
}

// From now on the process's capture system is the Linux one, playing `recording` as the
// environment says ("1" loops; an empty `fps` keeps the recording's own rate).
void useRecordedCamera(const std::string& recording, const char* loop, const char* fps) {
  ::setenv("QUORVEL_CAMERA", recording.c_str(), 1);
  ::setenv("QUORVEL_CAMERA_LOOP", loop, 1);
  ::setenv("QUORVEL_CAMERA_FPS", fps, 1);
  platform::capture::install(nullptr);
}

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
TEST_F(LinuxCaptureTest, ARecordingThatCannotBePlayedIsNoCameraWithAClearError) {
  const char* const undecodable = "not a video or numbered image sequence that can be decoded";
  const struct {
    const char* name;
    const char* contents;  // nullptr: no such file
    const char* cause;
  } recordings[] = {{"missing.avi", nullptr, "no such file"},
                    {"notes.avi", "not a video", undecodable},
                    {"none%03d.png", nullptr, undecodable}};
  for (const auto& recording : recordings) {
    SCOPED_TRACE(recording.name);
    logs().clear();
    const std::string path = home() + "/" + recording.name;
    if (recording.contents) std::ofstream(path) << recording.contents;
    use({.recording = path});
    EXPECT_FALSE(CameraSession::builtInCamera());
    startCamera(/*expectRunning=*/false);
    EXPECT_TRUE(logs().contains("No built-in camera available"));
    EXPECT_EQ(logs().messages("capture").at(0),
              "Camera recording \"" + path + "\" cannot be played: " + recording.cause);
  }
}

TEST_F(LinuxCaptureTest, OnRealThreadsLateFramesAreDroppedAndStopReallyStops) {
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  // Four seconds of frames, each its own colour: a glance at one pixel tells them apart, so
  // that the handler's time is its sleep, and a loaded machine still handles several before
  // the recording ends.
  std::vector<Frame> sources;
  for (int i = 0; i < 100; ++i) {
    sources.push_back(platform::capture::SimulatedCaptureSystem::generatedFrame(
        64, 48, {(i % 10) / 10.0, (i / 10) / 10.0, 0.5, 1}));
  }
  use({.recording = writeSequence(sources, home() + "/fast"), .frameRate = 25});
  const auto colourOf = [](platform::image::PixelBuffer& frame) {
    platform::image::BaseAddressLock lock(frame, platform::image::LockFlags::readOnly);
    return std::vector<int>(frame.baseAddress(), frame.baseAddress() + 3);
  };
  std::vector<std::vector<int>> colours;
  for (const Frame& source : sources) colours.push_back(colourOf(*source));
  struct Seen {
    std::mutex mutex;
    std::vector<int> shown;  // -1: a frame on the main thread
  };
  const auto seen = std::make_shared<Seen>();
  auto session = CameraSession::create();
  session->onFrame = [seen, colourOf, colours](const Frame& frame) {
    int index = -1;  // the source of the nearest colour
    if (!platform::dispatch::isMainThread()) {
      const auto colour = colourOf(*frame);
      int best = 3 * 256;
      for (std::size_t i = 0; i < colours.size(); ++i) {
        int distance = 0;
        for (int c = 0; c < 3; ++c) distance += std::abs(colour[c] - colours[i][c]);
        if (distance < best) best = distance, index = int(i);
      }
    }
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
  // The completion comes on the main thread, the frames off it.
  std::optional<bool> startedOnMain;
  session->start([&](bool) { startedOnMain = platform::dispatch::isMainThread(); });
  ASSERT_TRUE(waitUntil([&] { return count() >= 3 && startedOnMain; }, 10));
  EXPECT_EQ(startedOnMain, std::optional<bool>(true));
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
  // The capture formats the node answers with (its index 0 says it captures); none: the node
  // cannot be asked (here a plain file).
  std::vector<std::string> formats = {};
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
    const std::string devices = home() + "/dev/video";
    return {.sysfsRoot = home() + "/sys",
            .deviceRoot = home() + "/dev",
            .askNode = [nodes, devices](const std::string& path) {
              for (const Node& node : nodes) {
                if (path != devices + std::to_string(node.number) || node.formats.empty()) continue;
                platform::capture::NodeAnswer answer{true, node.index == 0, {}};
                for (const auto& f : node.formats) answer.pixelFormats.push_back(v4l2_fourcc(f[0], f[1], f[2], f[3]));
                return answer;
              }
              return platform::capture::askVideoNode(path);
            }};
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
        Machine{"NoCamera", {}, {}, ""},
        // A laptop's infrared face camera numbered before its colour camera, both integrated.
        Machine{"InfraredCameraFirst",
                {{.number = 0, .name = "Integrated IR Camera", .formats = {"GREY", "Y16 "}},
                 {.number = 1, .name = "Integrated IR Camera", .index = 1, .formats = {"UVCM"}},
                 {.number = 2, .name = "Integrated Camera", .formats = {"MJPG", "YUYV"}},
                 {.number = 3, .name = "Integrated Camera", .index = 1, .formats = {"UVCM"}}},
                {"Integrated IR Camera", "Integrated Camera"},
                "Integrated Camera"},
        // Depth and infrared nodes before the colour one, none built in: the first colour one.
        Machine{"DepthCamera",
                {{.number = 0, .name = "Depth Camera: Depth", .removable = "removable", .formats = {"Z16 "}},
                 {.number = 2, .name = "Depth Camera: Stereo", .removable = "removable", .formats = {"Y8I ", "Y12I"}},
                 {.number = 4, .name = "Depth Camera: Colour", .removable = "removable", .formats = {"YUYV", "GREY"}}},
                {"Depth Camera: Depth", "Depth Camera: Stereo", "Depth Camera: Colour"},
                "Depth Camera: Colour"},
        // Only an infrared camera, or one whose formats are grey and unreadable nodes: none is
        // taken for the colour camera unless its formats cannot be read.
        Machine{"OnlyInfrared", {{.number = 0, .name = "Integrated IR Camera", .formats = {"GREY", "Y10 "}}},
                {"Integrated IR Camera"}, ""},
        Machine{"ClosedNodeBesideInfrared",
                {{.number = 0, .name = "Integrated IR Camera", .formats = {"GREY"}},
                 {.number = 2, .name = "Integrated Camera"}},
                {"Integrated IR Camera", "Integrated Camera"},
                "Integrated Camera"}),
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

// ---- The camera roads on recordings ---------------------------------------------------------

// Small frames keep the test quick. The 150-pixel photo fills the frame's height in the
// match test (the liveness model sees the middle square); the head scan leaves it room to turn.
constexpr int kWidth = 320, kHeight = 240;
constexpr double kScale = 1.6, kScanScale = 1.1;

class RecordedRoadTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    useRealFaceLandmarks();
    ASSERT_TRUE(useBuiltBundleAndRealRuntime());
    platform::vision::installHandPoseDetector(std::make_shared<platform::vision::LinuxHandPoseDetector>());
    for (const std::string& path : johnsPhotos()) {
      people[std::filesystem::path(path).parent_path().filename().string()].push_back(path);
    }
  }
  void TearDown() override {
    // The recording leaves the environment (the fixture puts its own camera back).
    for (const char* name : {"QUORVEL_CAMERA", "QUORVEL_CAMERA_LOOP", "QUORVEL_CAMERA_FPS"}) {
      ::unsetenv(name);
    }
    CoordinatorTest::TearDown();
  }

  // A head scan (support/face_recordings.hpp) of the person's first photo.
  std::vector<Frame> headScan(const std::string& person, double reach = 0.1) {
    std::string error;
    auto frames = recordings::headScan(people[person].at(0), reach, &error, kWidth, kHeight, kScanScale);
    EXPECT_FALSE(frames.empty()) << error;
    return frames;
  }

  // "--diagnose-camera" on the person's photos from the sixth on, a looping video at 4 frames
  // a second: its printed lines.
  std::vector<std::string> matchTest(const std::string& person) {
    std::vector<Frame> frames;
    for (std::size_t i = 5; i < people[person].size(); ++i) {
      frames.push_back(placedPhoto(people[person][i], kWidth, kHeight, kScale));
    }
    useRecordedCamera(writeVideo(frames, 4, home() + "/match.avi"), "1", "");
    std::ostringstream out;
    status = diagnostics::runDiagnoseCamera(argv(diagnostics::kDiagnoseCameraSwitch), out);
    return printedLines(out.str());
  }

  std::map<std::string, std::vector<std::string>> people;
  int status = -1;
};

TEST_F(RecordedRoadTest, AHeadScanEnrolsAndTheMatchTestKnowsThePersonAndNobodyElse) {
  useRecordedCamera(writeSequence(headScan("John_Salley"), home() + "/scan"), "0", "10");
  auto model = EnrolmentModel::make();
  model->start();
  scheduler().advanceUntil([&] { return model->finished.value() || model->failure.value(); }, 10);
  ASSERT_TRUE(model->finished.value()) << model->instruction.value() << "; ticks done: " << model->tickPasses.value().size();
  EXPECT_EQ(FaceprintStore::shared().enrolledCount(RecognitionEngine::dlib), 25u);

  auto lines = matchTest("John_Salley");
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "Camera authorised: true (authorized)");
  EXPECT_EQ(lines[3], "Enrolled for dlib (public domain): true");
  EXPECT_EQ(lines[10], "would unlock:        true");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(logs().contains("Camera configured: Recording match.avi"));

  // The coordinator keeps its camera for the life of the process: the next recording takes
  // the same file's place.
  lines = matchTest("John_Savage");
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[6], "frames seen:        15") << "0.25 s apart, up to 3.75 s";
  EXPECT_EQ(lines[7], "frames with a face:  15");
  EXPECT_GT(std::stod(lines[8].substr(21)), 0.6) << "far from every enrolled faceprint";
  EXPECT_EQ(lines[10], "would unlock:        false");
  EXPECT_EQ(status, 0);
}

// A recording of a face, a raised hand, the face again and then the hand held up twice.
TEST_F(RecordedRoadTest, OneHandFrameBetweenFacesIsSkippedTwoInARowCancelTheAttempt) {
  const Frame face = placedPhoto(johnsPhotos().at(0), kWidth, kHeight, kScale);
  // A woman raising her open hand beside her face, the 512-pixel photo the frame's height.
  const Frame hand = placedPhoto(QUORVEL_SOURCE_DIR "/tests/data/hands/pexels-natalie-3759656.jpg", kWidth,
                                 kHeight, kHeight / 512.0);
  ASSERT_TRUE(face && hand);
  enrolAt(face, 0.9);  // someone else: the face frames never unlock
  useRecordedCamera(writeSequence({face, hand, face, hand, hand}, home() + "/hand"), "0", "4");

  lockScreen();
  advance(1.0);  // four frames, 0.25 s apart
  EXPECT_TRUE(coordinator().isActive()) << "a face frame in between resets the count";
  EXPECT_EQ(coordinator().testResult().framesSeen, 4);
  EXPECT_EQ(coordinator().testResult().framesWithFace, 2) << "a hand frame, her face in it, is never scored";
  EXPECT_FALSE(logged("Open hand held up, cancelling this unlock attempt"));

  advance(0.25);
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_EQ(coordinator().testResult().framesSeen, 5);
  EXPECT_EQ(countLogs("Open hand held up, cancelling this unlock attempt"), 1);
  EXPECT_FALSE(coordinator().hasSucceeded());
  EXPECT_TRUE(lockMachine().events().posted().empty());
  advance(3);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "palm", "message:Cancelled", "retract"}));
  EXPECT_TRUE(logs().contains("Camera configured: Recording frame%03d.png"));
}

}  // namespace
}  // namespace quorvel::testing
