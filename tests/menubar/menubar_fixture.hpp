// The menu-bar controller on the simulated platform, in virtual time: a fresh controller for
// every test, the alerts it showed and the activations it asked for.
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/menu_bar_controller.hpp"
#include "foundation/faceprint_store.hpp"
#include "support/menubar_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/ui_updater_hooks.hpp"

namespace quorvel::testing {

using Strings = std::vector<std::string>;

class MenuBarTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    controller = std::make_shared<MenuBarController>();
  }
  void TearDown() override {
    controller.reset();
    PlatformTest::TearDown();
  }

  // Drops the test's controller: nothing else may keep it alive.
  void dropController() {
    std::weak_ptr<MenuBarController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
  }
  static void enrol(RecognitionEngine engine = RecognitionEngine::dlib) {
    const std::size_t size = engine == RecognitionEngine::dlib ? 128 : 512;
    ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled({std::vector<float>(size, 0.25f)}, engine));
  }
  Strings messages() const { return simulatedAlerts().messages(); }
  Strings activations() const { return simulatedApplication().activations(); }
  // The buttons pressed (and the texts typed) in the next alerts, in order.
  struct Press {
    int button;
    std::string text = "";
  };
  static void answer(std::initializer_list<Press> presses) {
    for (const auto& press : presses) simulatedAlerts().press(press.button, press.text);
  }
  // The alert shown `index`-th has these texts and buttons, and the secure field alerts
  // show when `secret` (none otherwise).
  static void expectAlert(std::size_t index, const std::string& message,
                          const std::string& informative, const Strings& buttons,
                          bool secret = false) {
    ASSERT_LT(index, simulatedAlerts().shown().size()) << message;
    const platform::ui::Alert alert = simulatedAlerts().shown()[index];
    EXPECT_EQ(alert.messageText, message);
    EXPECT_EQ(alert.informativeText, informative);
    EXPECT_EQ(alert.buttons, buttons);
    using Field = platform::ui::SecureFieldAccessory;
    EXPECT_EQ(alert.secureField, secret ? std::optional<Field>(Field{0, 0, 240, 24, true})
                                        : std::nullopt)
        << message;
  }

  std::shared_ptr<MenuBarController> controller;
};

}  // namespace quorvel::testing
