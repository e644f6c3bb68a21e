#include "support/face_models_hooks.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::system::SimulatedSystemVersion, &platform::system::install> systemVersion([] {
  return std::make_shared<platform::system::SimulatedSystemVersion>(
      platform::system::OperatingSystemVersion{14, 0, 0});
});

}  // namespace

platform::system::SimulatedSystemVersion& simulatedSystemVersion() { return *systemVersion; }

std::string dlibWeightsPath() {
  return QUORVEL_SOURCE_DIR "/tools/convert/dlib_face_recognition_resnet_model_v1.dat";
}

std::string addDlibWeightsToBundle() {
  const std::string source = dlibWeightsPath();
  EXPECT_TRUE(std::filesystem::exists(source))
      << "missing " << source << ": run scripts/make-dlib-weights to make it";
  const std::string target =
      testBundlePath() + "/Resources/dlib_face_recognition_resnet_model_v1.dat";
  std::error_code ignored;
  std::filesystem::remove(target, ignored);
  std::filesystem::create_symlink(source, target);
  return target;
}

}  // namespace quorvel::testing
