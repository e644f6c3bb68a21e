#include "unlock/login_window_target.hpp"

#include <variant>

#include "platform/accessibility/accessibility.hpp"
#include "platform/codesign/codesign.hpp"
#include "platform/processes/processes.hpp"
#include "unlock/lock_monitor.hpp"

namespace quorvel {

std::optional<LoginProcessIdentity> LoginProcessIdentity::read(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  auto processes = platform::processes::current();
  platform::processes::BSDInfo info;
  if (processes->pidInfoBSD(pid, &info) != platform::processes::kBSDInfoSize) return std::nullopt;
  if (info.uid != processes->currentUserID()) return std::nullopt;
  if (info.startSeconds == 0) return std::nullopt;
  return LoginProcessIdentity{pid, info.startSeconds, info.startMicroseconds};
}

LoginWindowTarget::LoginWindowTarget(std::int32_t pid,
                                     std::shared_ptr<platform::workspace::RunningApplication> application,
                                     LoginProcessIdentity identity)
    : pid(pid), application(std::move(application)), identity(identity) {}

std::optional<std::int32_t> LoginWindowTarget::focusedPID() {
  namespace ax = platform::accessibility;
  auto accessibility = ax::current();
  const ax::Element systemWide = accessibility->createSystemWide();
  accessibility->setMessagingTimeout(systemWide, messagingTimeout);
  ax::AttributeValue value;
  const ax::AXError error = accessibility->copyAttributeValue(systemWide, ax::kFocusedApplicationAttribute, &value);
  if (error == ax::AXError::success) {
    if (const auto* element = std::get_if<ax::Element>(&value)) {
      std::int32_t pid = 0;
      if (accessibility->getPid(*element, &pid) != ax::AXError::success || pid < 1) return std::nullopt;
      return pid;
    }
  }
  // Refused, timed out, empty or of another type: the frontmost application decides.
  auto frontmost = platform::workspace::runningApplications()->frontmostApplication();
  if (!frontmost) return std::nullopt;
  return frontmost->processIdentifier();
}

bool LoginWindowTarget::isAppleLoginWindow(std::int32_t pid) {
  namespace cs = platform::codesign;
  auto signing = cs::current();
  std::shared_ptr<cs::Code> code;
  if (signing->copyGuestWithAttributes(cs::GuestAttributes{pid}, &code) != cs::errSecSuccess || !code) return false;
  std::shared_ptr<cs::Requirement> requirement;
  if (signing->createRequirementWithString(codeRequirement, &requirement) != cs::errSecSuccess || !requirement) {
    return false;
  }
  return signing->checkValidity(*code, *requirement) == cs::errSecSuccess;
}

std::shared_ptr<const LoginWindowTarget> LoginWindowTarget::capture() {
  if (!LockMonitor::isScreenActuallyLocked()) return nullptr;
  const auto focused = focusedPID();
  if (!focused || *focused < 1) return nullptr;
  auto application = platform::workspace::runningApplications()->runningApplication(*focused);
  if (!application) return nullptr;
  const auto bundleIdentifier = application->bundleIdentifier();
  if (!bundleIdentifier || *bundleIdentifier != expectedBundleIdentifier) return nullptr;
  const auto executable = application->executablePath();
  if (!executable || *executable != expectedExecutablePath) return nullptr;
  if (application->isTerminated()) return nullptr;
  const auto identity = LoginProcessIdentity::read(*focused);
  if (!identity) return nullptr;
  if (!isAppleLoginWindow(*focused)) return nullptr;
  const std::int32_t pid = application->processIdentifier();
  return std::shared_ptr<const LoginWindowTarget>(new LoginWindowTarget(pid, std::move(application), *identity));
}

bool LoginWindowTarget::isReady() const {
  if (!LockMonitor::isScreenActuallyLocked() || application->isTerminated()) return false;
  auto now = platform::workspace::runningApplications()->runningApplication(pid);
  if (!now) return false;
  const auto currentIdentity = LoginProcessIdentity::read(pid);
  if (!currentIdentity || *currentIdentity != identity) return false;
  if (now->executablePath() != application->executablePath()) return false;
  const auto focused = focusedPID();
  return focused && *focused == pid;
}

}  // namespace quorvel
