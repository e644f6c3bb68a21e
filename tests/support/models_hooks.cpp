#include "support/models_hooks.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/ml/onnx_model.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

struct State {
  std::shared_ptr<platform::ml::SimulatedRuntime> ml;
  std::shared_ptr<platform::vision::SimulatedHandPoseDetector> handPose;
  std::string bundlePath;
};
State& state() {
  static State instance;
  return instance;
}

FixtureHook hook(
    [] {
      state().ml = std::make_shared<platform::ml::SimulatedRuntime>();
      platform::ml::install(state().ml);
      state().handPose = std::make_shared<platform::vision::SimulatedHandPoseDetector>();
      platform::vision::installHandPoseDetector(state().handPose);
      // The fixture points TMPDIR into the test's own home.
      const char* tmp = std::getenv("TMPDIR");
      state().bundlePath = std::string(tmp && *tmp ? tmp : "/tmp") + "/Quorvel.bundle";
      std::filesystem::create_directories(state().bundlePath + "/Resources");
      platform::bundle::install(std::make_shared<platform::bundle::Bundle>(state().bundlePath));
    },
    [] {
      platform::ml::install(nullptr);
      platform::vision::installHandPoseDetector(nullptr);
      platform::bundle::install(nullptr);
      state() = State();
    });

}  // namespace

platform::ml::SimulatedRuntime& simulatedML() { return *state().ml; }
platform::vision::SimulatedHandPoseDetector& simulatedHandPose() { return *state().handPose; }
std::string testBundlePath() { return state().bundlePath; }

std::string addBundleFile(const std::string& relativePath, const std::string& contents) {
  const std::filesystem::path path = state().bundlePath + "/Resources/" + relativePath;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  return path.string();
}

std::string addBundleFolder(const std::string& relativePath) {
  const std::string path = state().bundlePath + "/Resources/" + relativePath;
  std::filesystem::create_directories(path);
  return path;
}

std::string builtBundlePath() { return QUORVEL_BINARY_DIR "/Quorvel.bundle"; }

void useBuiltBundleAndRealRuntime() {
  platform::bundle::install(std::make_shared<platform::bundle::Bundle>(builtBundlePath()));
  platform::ml::install(std::make_shared<platform::ml::OnnxRuntime>());
}

}  // namespace quorvel::testing
