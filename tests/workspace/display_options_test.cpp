// Reduced motion on Linux, read from the desktop's own setting: GNOME's enable-animations
// through a private GSettings backend (a keyfile under the test's XDG_CONFIG_HOME), KDE's
// animation speed from kdeglobals files of the test's own; and the environment's override.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/workspace/display_options_linux.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

class LinuxReduceMotionTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    config_ = home() + "/desktop-config";
    std::filesystem::create_directories(config_);
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (home() + "/system-a:" + home() + "/system-b").c_str(), 1);
    ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
    ::unsetenv("QUORVEL_REDUCE_MOTION");
  }
  void TearDown() override {
    ::setenv("PATH", path_.c_str(), 1);
    PlatformTest::TearDown();
  }
  bool reduced() { return options_->accessibilityDisplayShouldReduceMotion(); }
  void setGnomeAnimations(const char* value) {
    std::filesystem::create_directories(config_ + "/glib-2.0/settings");
    std::ofstream(config_ + "/glib-2.0/settings/keyfile")
        << "[org/gnome/desktop/interface]\nenable-animations=" << value << "\n";
  }
  void writeKdeglobals(const std::string& folder, const std::string& text) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/kdeglobals") << text;
  }

  std::string config_;
  const std::string path_ = std::getenv("PATH");
  std::shared_ptr<platform::workspace::DisplayOptions> options_ =
      platform::workspace::makeLinuxDisplayOptions();
};

TEST_F(LinuxReduceMotionTest, OnGnomeAnimationsSwitchedOffReduceMotionReadAtEveryCall) {
  for (const char* desktop : {"GNOME", "ubuntu:GNOME", ""}) {
    SCOPED_TRACE(desktop);
    ::setenv("XDG_CURRENT_DESKTOP", desktop, 1);
    std::filesystem::remove_all(config_ + "/glib-2.0");
    EXPECT_FALSE(reduced()) << "GNOME's default animates";
    setGnomeAnimations("false");
    EXPECT_TRUE(reduced());
    setGnomeAnimations("true");
    EXPECT_FALSE(reduced());
  }
  // KDE's setting is not GNOME's.
  setGnomeAnimations("false");
  writeKdeglobals(config_, "[KDE]\nAnimationDurationFactor=0\n");
  EXPECT_TRUE(reduced());
  ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  EXPECT_TRUE(reduced());
  std::filesystem::remove(config_ + "/kdeglobals");
  EXPECT_FALSE(reduced()) << "on KDE only KDE's setting counts";

  // Without gsettings nothing is reduced.
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  ::setenv("PATH", home().c_str(), 1);
  EXPECT_FALSE(reduced());
}

TEST_F(LinuxReduceMotionTest, OnKdeTheInstantAnimationSpeedReducesMotionTheUsersFileFirst) {
  ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  const std::string systemA = home() + "/system-a", systemB = home() + "/system-b";
  const std::pair<std::string, bool> userFiles[] = {
      {"[KDE]\nAnimationDurationFactor=0\n", true},
      {"[General]\nColorScheme=BreezeDark\n\n[KDE]\nLookAndFeelPackage=org.kde.breeze\nAnimationDurationFactor = 0.0\n", true},
      {"[KDE][$i]\nAnimationDurationFactor[$i]=0\n", true},  // flags of the group and the entry
      {"[KDE][Window]\nAnimationDurationFactor=0\n", false},  // a subgroup is another group
      {"[KDE]\nAnimationDurationFactor=0.5\n", false},
      {"[KDE]\nAnimationDurationFactor=2\n", false},
      {"[General]\nAnimationDurationFactor=0\n", false},
      {"[KDE]\n# AnimationDurationFactor=0\nAnimationDurationFactor=\n", false},
  };
  for (const auto& [text, expected] : userFiles) {
    writeKdeglobals(config_, text);
    EXPECT_EQ(reduced(), expected) << text;
  }
  // The user's file settles it; without the key there, the first system folder that has it.
  writeKdeglobals(systemB, "[KDE]\nAnimationDurationFactor=0\n");
  writeKdeglobals(config_, "[KDE]\nAnimationDurationFactor=1\n");
  EXPECT_FALSE(reduced());
  writeKdeglobals(config_, "[KDE]\nSingleClick=false\n");
  EXPECT_TRUE(reduced());
  writeKdeglobals(systemA, "[KDE]\nAnimationDurationFactor=0.25\n");
  EXPECT_FALSE(reduced());
}

TEST_F(LinuxReduceMotionTest, TheEnvironmentOverridesTheDesktop) {
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  setGnomeAnimations("false");
  ::setenv("QUORVEL_REDUCE_MOTION", "0", 1);
  EXPECT_FALSE(reduced());
  setGnomeAnimations("true");
  ::setenv("QUORVEL_REDUCE_MOTION", "1", 1);
  EXPECT_TRUE(reduced());
  ::setenv("QUORVEL_REDUCE_MOTION", "yes", 1);  // not a switch: the desktop decides
  EXPECT_FALSE(reduced());
}

}  // namespace
}  // namespace quorvel::testing
