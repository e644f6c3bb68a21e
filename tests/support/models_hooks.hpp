// What every test gets for the model and hand-pose areas: the simulated machine-learning
// runtime, the simulated hand-pose detector and an empty application bundle of its own
// (inside the test's temporary folder). Tests reach them here.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/bundle/bundle.hpp"
#include "platform/ml/simulated_ml.hpp"
#include "platform/vision/simulated_hand_pose.hpp"

namespace quorvel::testing {

platform::ml::SimulatedRuntime& simulatedML();
platform::vision::SimulatedHandPoseDetector& simulatedHandPose();

// The test's own bundle folder (…/Quorvel.bundle, with an empty Resources folder).
std::string testBundlePath();
// Writes the file Resources/<relativePath> of the test bundle (parents made); returns its path.
std::string addBundleFile(const std::string& relativePath, const std::string& contents = "");
// Makes the folder Resources/<relativePath> of the test bundle; returns its path.
std::string addBundleFolder(const std::string& relativePath);

// The bundle the build made beside the test executables (the shipped resources).
std::string builtBundlePath();
// Installs the built bundle and the OpenCV runtime, for tests of the shipped models; fails,
// saying how to make them, when the bundle lacks the liveness, hand or dlib models.
::testing::AssertionResult useBuiltBundleAndRealRuntime();

}  // namespace quorvel::testing
