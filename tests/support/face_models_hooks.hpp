// What every test gets for the model host: a simulated operating-system version (14.0.0
// until a test changes it), and where the converted dlib weights are.
#pragma once

#include <string>

#include "platform/system/simulated_system_version.hpp"

namespace quorvel::testing {

platform::system::SimulatedSystemVersion& simulatedSystemVersion();

// tools/convert/dlib_face_recognition_resnet_model_v1.dat of the source tree.
std::string dlibWeightsPath();
// Puts the dlib weights into the test bundle (a link to the converted file); returns the
// bundle's path of it. Fails the test when the weights have not been made.
std::string addDlibWeightsToBundle();

}  // namespace quorvel::testing
