#include "platform/accessibility/accessibility_linux.hpp"

#include <cmath>

#include "platform/accessibility/atspi_linux.hpp"
#include "platform/logind/login_session.hpp"
#include "platform/pam/pam.hpp"

namespace platform::accessibility {

namespace {
AtspiBridge& bridge() { return AtspiBridge::shared(); }
}  // namespace

bool LinuxAccessibility::isProcessTrusted() {
  const auto session = logind::LoginSession::shared()->session();
  return session && pam::isAvailable(logind::kPamService, session->user);
}

Element LinuxAccessibility::createSystemWide() { return Element{AtspiBridge::kSystemWide}; }

Element LinuxAccessibility::createApplication(std::int32_t pid) {
  return Element{AtspiBridge::kApplicationBase + static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid))};
}

AXError LinuxAccessibility::setMessagingTimeout(const Element& element, float seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return AXError::illegalArgument;
  const double timeout = seconds == 0 ? kDefaultMessagingTimeout : seconds;
  if (element.reference == AtspiBridge::kSystemWide) {
    bridge().setTimeout(timeout);
    return AXError::success;
  }
  std::int32_t pid = 0;
  const AXError found = bridge().pidOf(element.reference, &pid);
  if (found == AXError::success) bridge().setTimeout(pid, timeout);
  return found;
}

AXError LinuxAccessibility::copyAttributeValue(const Element& element, const std::string& attribute,
                                               AttributeValue* value) {
  if (value) *value = std::monostate{};
  // The system-wide element (the focused application for the unlock) stays refused.
  if (element.reference == AtspiBridge::kSystemWide) return AXError::apiDisabled;
  if (!value) return AXError::illegalArgument;
  return bridge().copyAttribute(element.reference, attribute, value);
}

AXError LinuxAccessibility::getPid(const Element& element, std::int32_t* pid) {
  if (!pid) return AXError::illegalArgument;
  if (element.reference == AtspiBridge::kSystemWide) return AXError::invalidUIElement;
  return bridge().pidOf(element.reference, pid);
}

AXError LinuxAccessibility::setAttributeValue(const Element& element, const std::string& attribute,
                                              const AttributeValue& value) {
  if (element.reference == AtspiBridge::kSystemWide) return AXError::apiDisabled;
  return bridge().setAttribute(element.reference, attribute, value);
}

AXError LinuxAccessibility::isAttributeSettable(const Element& element, const std::string& attribute,
                                                bool* settable) {
  if (settable) *settable = false;
  if (element.reference == AtspiBridge::kSystemWide) return AXError::apiDisabled;
  if (!settable) return AXError::illegalArgument;
  return bridge().isSettable(element.reference, attribute, settable);
}

AXError LinuxAccessibility::performAction(const Element& element, const std::string& action) {
  if (element.reference == AtspiBridge::kSystemWide) return AXError::apiDisabled;
  return bridge().perform(element.reference, action);
}

}  // namespace platform::accessibility
