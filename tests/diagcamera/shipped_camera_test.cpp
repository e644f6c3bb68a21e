// "--diagnose-camera" of the shipped executable, on a recording with a face in every frame at
// 30 frames a second: the camera queue is still busy with a frame (detection, the descriptor)
// when the 4-second test ends and the process exits. A few run at once, as on a loaded machine;
// each prints its result and ends with status 0, none with a crash of the work it left running.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/capture/capture_linux.hpp"
#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"
#include "support/face_recordings.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

class ShippedCameraDiagnosticTest : public PlatformTest {};

TEST_F(ShippedCameraDiagnosticTest, EndsWithItsStatusWhileAFrameIsStillBeingHandled) {
  const auto people = recordings::johnsByPerson();
  const std::string recording = home() + "/face.avi";
  std::string error;
  ASSERT_TRUE(platform::capture::writeRecording(recording, recordings::matchFrames(people.at("John_Savage")), 30, &error))
      << error;
  const std::string none = "unix:path=" + home() + "/no-bus";
  const std::vector<std::string> environment = {
      "QUORVEL_CAMERA=" + recording, "QUORVEL_CAMERA_LOOP=1", "DISPLAY=", "WAYLAND_DISPLAY=",
      "DBUS_SESSION_BUS_ADDRESS=" + none, "DBUS_SYSTEM_BUS_ADDRESS=" + none, "HOME=" + home(),
      "OPENBLAS_NUM_THREADS=", "LSAN_OPTIONS=suppressions=" QUORVEL_SOURCE_DIR "/tests/desktop/leaks.supp"};
  constexpr int kRuns = 6;
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(ChildProcess::start({QUORVEL_BINARY_DIR "/quorvel", "--diagnose-camera"}, environment,
                                       home() + "/run" + std::to_string(i) + ".txt"));
    ASSERT_TRUE(runs.back());
  }
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    const auto status = runs[i]->wait(120);
    const std::string printed = fileText(home() + "/run" + std::to_string(i) + ".txt");
    EXPECT_EQ(status, std::optional<int>(0)) << printed;
    const auto seen = printed.find("frames seen:        ");
    ASSERT_NE(seen, std::string::npos) << printed;
    EXPECT_GT(std::stoi(printed.substr(seen + 20)), 0) << printed;
    EXPECT_NE(printed.find("would unlock:        false"), std::string::npos) << "nobody is enrolled";
  }
}

}  // namespace
}  // namespace quorvel::testing
