#include "support/storage_hooks.hpp"

#include <memory>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

std::shared_ptr<platform::keychain::SimulatedKeychain> gKeychain;
std::shared_ptr<platform::files::SimulatedFileSystem> gFiles;

FixtureHook hook(
    [] {
      gKeychain = std::make_shared<platform::keychain::SimulatedKeychain>();
      platform::keychain::install(gKeychain);
      gFiles = std::make_shared<platform::files::SimulatedFileSystem>();
      platform::files::install(gFiles);
    },
    [] {
      platform::keychain::install(nullptr);
      platform::files::install(nullptr);
      gKeychain.reset();
      gFiles.reset();
    });

}  // namespace

platform::keychain::SimulatedKeychain& simulatedKeychain() { return *gKeychain; }
platform::files::SimulatedFileSystem& simulatedFiles() { return *gFiles; }

}  // namespace quorvel::testing
