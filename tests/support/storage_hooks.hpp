// The simulated keychain and file system installed for every fixture-based test.
#pragma once

#include "platform/files/simulated_files.hpp"
#include "platform/keychain/simulated_keychain.hpp"

namespace quorvel::testing {

// The keychain of the running test (fresh and empty at every set-up).
platform::keychain::SimulatedKeychain& simulatedKeychain();
// The file system of the running test: real files in the test's home, scriptable faults.
platform::files::SimulatedFileSystem& simulatedFiles();

}  // namespace quorvel::testing
