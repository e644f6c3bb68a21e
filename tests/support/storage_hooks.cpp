#include "support/storage_hooks.hpp"

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::keychain::SimulatedKeychain, &platform::keychain::install> keychain;
FreshPart<platform::files::SimulatedFileSystem, &platform::files::install> files;

}  // namespace

platform::keychain::SimulatedKeychain& simulatedKeychain() { return *keychain; }
platform::files::SimulatedFileSystem& simulatedFiles() { return *files; }

}  // namespace quorvel::testing
