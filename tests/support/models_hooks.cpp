#include "support/models_hooks.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/ml/onnx_model.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::ml::SimulatedRuntime, &platform::ml::install> ml;
FreshPart<platform::vision::SimulatedHandPoseDetector, &platform::vision::installHandPoseDetector>
    handPose;
std::string bundlePath;

FixtureHook bundleHook(
    [] {
      // The fixture points TMPDIR into the test's own home.
      const char* tmp = std::getenv("TMPDIR");
      bundlePath = std::string(tmp && *tmp ? tmp : "/tmp") + "/Quorvel.bundle";
      std::filesystem::create_directories(bundlePath + "/Resources");
      platform::bundle::install(std::make_shared<platform::bundle::Bundle>(bundlePath));
    },
    [] {
      platform::bundle::install(nullptr);
      bundlePath.clear();
    });

}  // namespace

platform::ml::SimulatedRuntime& simulatedML() { return *ml; }
platform::vision::SimulatedHandPoseDetector& simulatedHandPose() { return *handPose; }
std::string testBundlePath() { return bundlePath; }

std::string addBundleFile(const std::string& relativePath, const std::string& contents) {
  const std::filesystem::path path = bundlePath + "/Resources/" + relativePath;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  return path.string();
}

std::string addBundleFolder(const std::string& relativePath) {
  const std::string path = bundlePath + "/Resources/" + relativePath;
  std::filesystem::create_directories(path);
  return path;
}

std::string builtBundlePath() { return QUORVEL_BINARY_DIR "/Quorvel.bundle"; }

::testing::AssertionResult useBuiltBundleAndRealRuntime() {
  auto bundle = std::make_shared<platform::bundle::Bundle>(builtBundlePath());
  platform::bundle::install(bundle);
  platform::ml::install(std::make_shared<platform::ml::OnnxRuntime>());
  if (!bundle->url("MiniFAS", "mlpackage") || !bundle->url("HandPose", "")) {
    return ::testing::AssertionFailure() << "build the project (scripts/build) to fill " << builtBundlePath();
  }
  if (!bundle->url("dlib_face_recognition_resnet_model_v1", "dat")) {
    return ::testing::AssertionFailure() << "run scripts/make-dlib-weights, then scripts/build";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace quorvel::testing
