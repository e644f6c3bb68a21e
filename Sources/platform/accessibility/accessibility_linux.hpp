// Accessibility on Linux.
#pragma once

#include "platform/accessibility/accessibility.hpp"

namespace platform::accessibility {

// Linux has no Accessibility service. What the trust stands for here is what typing into
// the lock screen needs (platform/logind/login_session.hpp): the process is trusted when
// logind names a login session of our own user, which its owner may unlock, and PAM can
// check passwords for the lock screen's service. There is nothing to prompt for. Every
// element query is refused as by a disabled Accessibility API, so the focused application
// comes from the workspace (the lock screen while the session is locked).
class LinuxAccessibility : public Accessibility {
 public:
  bool isProcessTrusted() override;
  bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }
  Element createSystemWide() override { return Element{1}; }
  AXError setMessagingTimeout(const Element&, float) override { return AXError::success; }
  AXError copyAttributeValue(const Element&, const std::string&, AttributeValue* value) override {
    if (value) *value = std::monostate{};
    return AXError::apiDisabled;
  }
  AXError getPid(const Element&, std::int32_t*) override { return AXError::invalidUIElement; }
  Element createApplication(std::int32_t pid) override;
  AXError setAttributeValue(const Element&, const std::string&, const AttributeValue&) override {
    return AXError::apiDisabled;
  }
  AXError isAttributeSettable(const Element&, const std::string&, bool* settable) override {
    if (settable) *settable = false;
    return AXError::apiDisabled;
  }
  AXError performAction(const Element&, const std::string&) override { return AXError::apiDisabled; }
};

}  // namespace platform::accessibility
