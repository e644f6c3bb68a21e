#include "app/diagnostics_updates.hpp"

#include <memory>

#include "platform/bundle/bundle.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/application.hpp"
#include "platform/updater/standard_user_driver.hpp"

namespace quorvel {

void UpdateCheckDelegate::didFinishUpdateCycle(
    platform::updater::Updater& /*updater*/, platform::updater::UpdateCheck /*check*/,
    const std::optional<platform::updater::Error>& error) {
  if (!error) {
    done_("OK: update found and verified");
  } else if (error->domain == platform::updater::kErrorDomain &&
             error->code == platform::updater::kNoUpdateErrorCode) {
    done_("OK: feed reachable, parsed, signature valid. No update available (expected, already "
          "current)");
  } else {
    done_("FAILED: " + error->localizedDescription);
  }
}

namespace diagnostics {

int runCheckForUpdates(const std::vector<std::string>& /*args*/, std::ostream& out) {
  const std::shared_ptr<platform::ui::Application> application = platform::ui::shared();
  std::ostream* stream = &out;
  const auto delegate = std::make_shared<UpdateCheckDelegate>([stream](const std::string& text) {
    *stream << text << std::endl;
    platform::dispatch::stopMainLoop(text.rfind("OK", 0) == 0 ? 0 : 1);
  });
  const std::string bundle = platform::bundle::Bundle::main().bundlePath();
  const auto userDriver = std::make_shared<platform::updater::StandardUserDriver>(bundle);
  const std::shared_ptr<platform::updater::Updater> updater =
      platform::updater::current()->makeUpdater(bundle, bundle, userDriver, delegate);
  if (const auto error = updater->start()) {
    out << "FAILED to start updater: " << error->localizedDescription << std::endl;
    return 1;
  }
  updater->checkForUpdateInformation();
  return application->run();
}

}  // namespace diagnostics
}  // namespace quorvel
