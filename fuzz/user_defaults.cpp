// The user-defaults file (defaults.json) and the settings the application reads from it.
#include "foundation/settings.hpp"
#include "fuzz_input.hpp"
#include "platform/defaults/defaults_linux.hpp"
#include "platform/defaults/simulated_defaults.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::defaults;
  std::map<std::string, Value> values;
  if (!decodeFile(std::string(reinterpret_cast<const char*>(data), size), values)) return 0;
  auto defaults = std::make_shared<MemoryUserDefaults>();
  for (const auto& [key, value] : values) defaults->set(key, value);
  for (const auto& [key, value] : values) {
    (void)defaults->boolForKey(key);
    FUZZ_CHECK(defaults->stringForKey(key).has_value());
  }
  const quorvel::Settings settings(defaults);
  (void)settings.unlockEnabled();
  (void)settings.playAnimation();
  (void)settings.showInDock();
  (void)settings.palmToCancel();
  (void)settings.hasSeenWelcome();
  (void)settings.recognitionEngine();
  return 0;
}
