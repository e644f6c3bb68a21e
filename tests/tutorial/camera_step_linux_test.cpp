// The camera step's way forward on Linux: with the camera closed to the user, its button
// ("Open System Settings") shows the command that opens the camera node's group to the user,
// and the step moves on once the camera is allowed.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "onboarding/tutorial_model.hpp"
#include "platform/workspace/url_opener_linux.hpp"
#include "support/menubar_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {
namespace {

using platform::capture::AuthorizationStatus;

class LinuxCameraStepTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    platform::workspace::installURLOpener(platform::workspace::makeLinuxURLOpener());
    simulatedCamera().setAuthorizationStatus(AuthorizationStatus::denied);
    lockMachine().accessibility().setTrusted(false);
  }
  // The built-in camera at a node of the test's own, of group `gid` with `mode`.
  std::string cameraNode(::gid_t gid, ::mode_t mode) {
    const std::string node = home() + "/video0";
    std::ofstream(node) << "";
    EXPECT_EQ(::chown(node.c_str(), ::geteuid(), gid), 0);
    EXPECT_EQ(::chmod(node.c_str(), mode), 0);
    auto camera = platform::capture::SimulatedCaptureSystem::builtInCameraDevice();
    camera.uniqueID = node;
    simulatedCamera().setDevices({camera});
    return node;
  }
  // A group other than root's that the test may give its files: root may give any.
  static ::gid_t ownGroup() {
    const ::group* audio = ::getgrnam("audio");
    return ::geteuid() == 0 && audio ? audio->gr_gid : ::getegid();
  }
  static std::string nameOf(::gid_t gid) { return ::getgrgid(gid)->gr_name; }
  // The alert the camera step's button shows.
  platform::ui::Alert pressAllowCamera(TutorialModel& model) {
    model.requestCamera();
    EXPECT_TRUE(simulatedAlerts().shown().empty()) << "shown after the button's turn";
    runUntilIdle();
    const auto shown = simulatedAlerts().shown();
    EXPECT_EQ(shown.size(), 1u);
    return shown.empty() ? platform::ui::Alert{} : shown.back();
  }
  const std::string user = ::getpwuid(::geteuid())->pw_name;
};

TEST_F(LinuxCameraStepTest, AClosedCameraShowsTheCommandThatOpensItsGroupAndTheStepMovesOnOnceAllowed) {
  const std::string node = cameraNode(ownGroup(), 0660);
  const std::string group = nameOf(ownGroup());
  auto model = TutorialModel::make();
  model->go(TutorialStep::camera);
  ASSERT_TRUE(TutorialModel::cameraNeedsSettings());
  const auto alert = pressAllowCamera(*model);
  EXPECT_EQ(alert.messageText, "Your account may not use the camera");
  EXPECT_EQ(alert.informativeText,
            "Linux lets the members of the group \"" + group + "\" use the camera (" + node +
                "). Add your account to it in a terminal:\n\nsudo usermod -aG " + group + " " + user +
                "\n\nthen log out and log in again: the camera is allowed from the next login.");
  EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
  EXPECT_FALSE(alert.secureField);

  // The step's poll still notices access given meanwhile (an ACL on the node, say).
  advance(3);
  EXPECT_EQ(model->step.value(), TutorialStep::camera);
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::authorized);
  advance(1.01);
  EXPECT_TRUE(model->cameraGranted);
  EXPECT_EQ(model->step.value(), TutorialStep::face);
}

// The node's group when that group may read and write it (and is not root's), else "video".
TEST_F(LinuxCameraStepTest, TheGroupIsTheNodesWhenThatGroupMayUseItElseVideo) {
  auto model = TutorialModel::make();
  model->go(TutorialStep::camera);
  const std::pair<::mode_t, std::string> nodes[] = {
      {0660, nameOf(ownGroup())}, {0640, "video"}, {0606, "video"}};
  for (const auto& [mode, group] : nodes) {
    cameraNode(ownGroup(), mode);
    EXPECT_NE(pressAllowCamera(*model).informativeText.find("sudo usermod -aG " + group + " " + user),
              std::string::npos) << mode;
    simulatedAlerts().reset();
  }
  if (::geteuid() == 0) {
    cameraNode(0, 0660);
    EXPECT_NE(pressAllowCamera(*model).informativeText.find("-aG video "), std::string::npos);
  }

  // Other settings addresses have no Linux page.
  EXPECT_FALSE(platform::workspace::urlOpener()->open("x-apple.systempreferences:com.apple.preference.security"));
}

}  // namespace
}  // namespace quorvel::testing
