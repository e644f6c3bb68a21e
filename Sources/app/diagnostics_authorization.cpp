#include "app/diagnostics_authorization.hpp"

#include <algorithm>
#include <optional>

#include "platform/accessibility/accessibility.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "unlock/authorization_target.hpp"
#include "unlock/lock_monitor.hpp"

namespace quorvel::diagnostics {

namespace auth = platform::authorization;
namespace ax = platform::accessibility;

namespace {

constexpr const char* kValueAttribute = "AXValue";

bool present(const std::vector<std::string>& args, const char* word) {
  return std::find(args.begin(), args.end(), word) != args.end();
}

ax::AXError writeValue(const ax::Element& field, const std::string& text) {
  return ax::current()->setAttributeValue(field, kValueAttribute, ax::AttributeValue(text));
}

}  // namespace

void requestAdministratorRight() {
  const std::shared_ptr<auth::Authorization> services = auth::current();
  auth::Reference reference;
  const auth::OSStatus created =
      services->create(nullptr, nullptr, auth::kAuthorizationFlagDefaults, &reference);
  if (created != auth::errAuthorizationSuccess || !reference) return;
  const auth::ItemSet rights{auth::Item{kAdministratorRight, std::nullopt, 0}};
  (void)services->copyRights(reference, rights, nullptr, kAdministratorRequestFlags, nullptr);
  (void)services->free(reference, auth::kAuthorizationFlagDestroyRights);
}

int runAuthorizationDiagnostic(const std::vector<std::string>& /*args*/, std::ostream& out) {
  out << AuthorizationTarget::diagnostic() << std::endl;
  return 0;
}

int runAuthorizationProbe(const std::vector<std::string>& args, std::ostream& out) {
  if (LockMonitor::isScreenActuallyLocked()) {
    out << "Unlock this Mac before running the authorization probe." << std::endl;
    return 2;
  }
  const bool dummyCheck = present(args, kDummyFieldCheckModifier);

  platform::dispatch::globalQueue(platform::dispatch::QoS::Default).async([] { requestAdministratorRight(); });

  const double deadline = platform::dispatch::now() + kAuthorizationProbeDuration;
  std::string lastReport;
  bool switched = false;
  bool dummyDone = false;
  while (platform::dispatch::now() < deadline) {
    const std::string report = AuthorizationTarget::diagnostic();
    if (report != lastReport) {
      out << report << std::endl;
      lastReport = report;
    }

    if (!switched) {
      if (const auto target = AuthorizationTarget::capture()) {
        if (target->secureField()) {
          out << "Dialog already offers a password field" << std::endl;
        } else {
          out << "Use Password action accepted: " << (target->switchToPassword() ? "true" : "false")
              << std::endl;
        }
        switched = true;
      }
    }

    if (dummyCheck && !dummyDone) {
      if (const auto target = AuthorizationTarget::capture()) {
        const auto field = target->secureField();
        if (field && target->ready(*field)) {
          const ax::AXError written = writeValue(*field, kDummyFieldText);
          out << "Dummy direct-field write status: " << static_cast<std::int32_t>(written) << "\n";
          if (written == ax::AXError::success && target->ready(*field)) {
            const ax::AXError cleared = writeValue(*field, std::string());
            out << "Dummy field clear status: " << static_cast<std::int32_t>(cleared) << "\n";
          }
          out << std::flush;
          dummyDone = true;
        }
      }
    }

    platform::dispatch::runMainLoopUntil([] { return false; }, kAuthorizationProbePass);
  }
  return 0;
}

}  // namespace quorvel::diagnostics
