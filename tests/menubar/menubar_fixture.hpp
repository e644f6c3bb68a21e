// The menu-bar controller on the simulated platform, in virtual time: a fresh controller for
// every test, the alerts it showed and the activations it asked for.
#pragma once

#include <memory>
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

  static void enrol(RecognitionEngine engine = RecognitionEngine::dlib) {
    const std::size_t size = engine == RecognitionEngine::dlib ? 128 : 512;
    ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled({std::vector<float>(size, 0.25f)}, engine));
  }
  Strings messages() const { return simulatedAlerts().messages(); }
  Strings activations() const { return simulatedApplication().activations(); }

  std::shared_ptr<MenuBarController> controller;
};

}  // namespace quorvel::testing
