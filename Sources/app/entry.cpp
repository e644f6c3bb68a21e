#include "app/entry.hpp"

#include <algorithm>

#include "app/app_start.hpp"
#include "app/diagnostics_alignment.hpp"
#include "app/diagnostics_animation.hpp"
#include "app/diagnostics_authorization.hpp"
#include "app/diagnostics_camera.hpp"
#include "app/diagnostics_updates.hpp"
#include "selftest/self_test.hpp"

namespace quorvel {
namespace {

using Body = int (*)(const std::vector<std::string>&, std::ostream&);

struct Switch {
  const char* name;
  Body body;
};

const std::vector<Switch>& table() {
  static const std::vector<Switch> switches = {
      {kAuthorizationProbeSwitch, &diagnostics::runAuthorizationProbe},
      {kAuthorizationDiagnosticSwitch, &diagnostics::runAuthorizationDiagnostic},
      {diagnostics::kSelfTestSwitch, &diagnostics::runSelfTest},
      {diagnostics::kRequestCameraSwitch, &diagnostics::runRequestCamera},
      {diagnostics::kDiagnoseStorageSwitch, &diagnostics::runDiagnoseStorage},
      {diagnostics::kRenderAnimationSwitch, &diagnostics::runRenderAnimation},
      {diagnostics::kPreviewAnimationSwitch, &diagnostics::runPreviewAnimation},
      {kCheckForUpdatesSwitch, &diagnostics::runCheckForUpdates},
      {diagnostics::kDiagnosePalmSwitch, &diagnostics::runDiagnosePalm},
      {diagnostics::kDiagnoseCameraSwitch, &diagnostics::runDiagnoseCamera},
      {diagnostics::kDiagnoseAlignmentSwitch,
       static_cast<Body>(&diagnostics::runDiagnoseAlignment)},
      {diagnostics::kDiagnoseOnNativeCropSwitch,
       static_cast<Body>(&diagnostics::runDiagnoseOnNativeCrop)},
      {diagnostics::kCheckSwitch, &diagnostics::runCheck},
  };
  return switches;
}

bool present(const std::vector<std::string>& args, const std::string& name) {
  if (name == diagnostics::kRenderAnimationSwitch) {
    return diagnostics::renderAnimationRequested(args);
  }
  return std::find(args.begin(), args.end(), name) != args.end();
}

std::function<int()>& applicationStartOverride() {
  static std::function<int()> start;
  return start;
}

}  // namespace

const std::vector<std::string>& entrySwitches() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> result;
    for (const auto& entry : table()) result.emplace_back(entry.name);
    return result;
  }();
  return names;
}

std::optional<std::string> selectedSwitch(const std::vector<std::string>& args) {
  for (const auto& entry : table()) {
    if (present(args, entry.name)) return std::string(entry.name);
  }
  return std::nullopt;
}

std::optional<int> runSwitch(const std::vector<std::string>& args, std::ostream& out) {
  for (const auto& entry : table()) {
    if (present(args, entry.name)) return entry.body(args, out);
  }
  return std::nullopt;
}

int runEntry(const std::vector<std::string>& args, std::ostream& out) {
  if (const auto status = runSwitch(args, out)) return *status;
  if (applicationStartOverride()) return applicationStartOverride()();
  return startApplication();
}

void setApplicationStartForTesting(std::function<int()> start) {
  applicationStartOverride() = std::move(start);
}

}  // namespace quorvel
