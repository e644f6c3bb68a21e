// Accessibility on Linux: the trust that typing into the lock screen needs, and the other
// applications' windows read and driven over the accessibility bus (AT-SPI, libatspi).
#pragma once

#include "platform/accessibility/accessibility.hpp"

namespace platform::accessibility {

// Two roads use Accessibility, and on Linux they stand on different facilities:
//
// - Typing the password into the login window (the unlock). What the trust stands for here
//   is what that needs (platform/logind/login_session.hpp): the process is trusted when
//   logind names a login session of our own user, which its owner may unlock, and PAM can
//   check passwords for the lock screen's service. There is nothing to prompt for. The
//   system-wide element answers every query as a disabled Accessibility API, so the focused
//   application comes from the workspace (the lock screen while the session is locked); this
//   holds whether or not an accessibility bus runs, and the unlock never touches AT-SPI.
//
// - Reading and driving other applications' windows (the authorization dialog): application
//   elements (`createApplication`) and the elements found from them live on the
//   accessibility bus. They answer only while that bus runs on the session bus (org.a11y.Bus)
//   and is enabled (org.a11y.Status IsEnabled, which the desktop's accessibility switch
//   sets); otherwise every query answers `apiDisabled`, and the cause is logged once per
//   change. The trust is not narrowed by the accessibility bus: a desktop without one still
//   unlocks.
//
// Attributes over AT-SPI:
//   "AXWindows"          of an application: the top-level children of every AT-SPI application
//                        that the bus says belongs to that process
//   "AXFocusedUIElement" of an application: its element in the focused state (a bounded walk)
//   "AXChildren"         the element's children
//   "AXRole"             push button: "AXButton"; text, entry and password text:
//                        "AXTextField" (multi-line text: "AXTextArea"); dialog, frame, window,
//                        alert: "AXWindow"; label: "AXStaticText"; panel, filler: "AXGroup";
//                        an application: "AXApplication"; anything else: "AXUnknown"
//   "AXSubrole"          password text: "AXSecureTextField"; dialog and alert: "AXDialog"
//   "AXTitle"            the accessible name (a button's label, a window's title)
//   "AXValue"            the text of an element with a text interface
//   "AXEnabled", "AXFocused": the enabled and focused states
// "AXValue" is settable on editable text that is enabled and not read-only, and setting it
// replaces the text; the action "AXPress" is the element's "press" or "click" action. A time-out
// set on an element applies to every call about that element's process.
//
// libatspi connects once per process: when the accessibility bus it found goes away, queries
// answer `apiDisabled` until the process starts again.
class LinuxAccessibility : public Accessibility {
 public:
  bool isProcessTrusted() override;
  bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }
  Element createSystemWide() override;
  AXError setMessagingTimeout(const Element& element, float seconds) override;
  AXError copyAttributeValue(const Element& element, const std::string& attribute, AttributeValue* value) override;
  AXError getPid(const Element& element, std::int32_t* pid) override;
  Element createApplication(std::int32_t pid) override;
  AXError setAttributeValue(const Element& element, const std::string& attribute,
                            const AttributeValue& value) override;
  AXError isAttributeSettable(const Element& element, const std::string& attribute, bool* settable) override;
  AXError performAction(const Element& element, const std::string& action) override;
};

}  // namespace platform::accessibility
