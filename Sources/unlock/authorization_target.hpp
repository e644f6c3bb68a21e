// The system's authorization dialog as a target: the window that the security agent shows
// when an application asks for an administrator right. A dialog is accepted only from a
// running security-agent process signed by Apple, only while the screen is unlocked, and only
// when exactly one of that process's windows looks like the dialog for this user. The target
// can switch the dialog to password entry, tell whether its secure field is ready for a
// value, write a password into that field through Accessibility (no key events) and press
// the dialog's confirm button, re-checking before every step. Everything reads the system
// afresh on the calling thread; a failed Accessibility or code-signing call counts as "not
// found" or false.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility/accessibility.hpp"

namespace quorvel {

class AuthorizationTarget {
 public:
  using Element = platform::accessibility::Element;
  using AttributeValue = platform::accessibility::AttributeValue;

  static constexpr const char* processName = "SecurityAgent";
  static constexpr const char* codeRequirement = "anchor apple and identifier \"com.apple.SecurityAgent\"";
  static constexpr float messagingTimeout = 0.2f;
  static constexpr std::array<const char*, 3> passwordFallbackTitles{"Use Password", "Use Password\u2026",
                                                                     "Use Password..."};
  static constexpr std::array<const char*, 3> confirmTitles{"OK", "Unlock", "Allow"};
  // Children are read only for elements at this depth or less (the window is depth 0).
  static constexpr int maximumChildDepth = 7;
  // The walk stops once it has collected this many elements.
  static constexpr std::size_t maximumControls = 100;

  AuthorizationTarget(std::int32_t pid, Element application, Element window);

  // The one acceptable dialog, or no value.
  static std::optional<AuthorizationTarget> capture();
  // A plain-text report of the security agents and their windows, locked or not.
  static std::string diagnostic();

  // The dialog's elements, breadth first from the window (at most `maximumControls`).
  std::vector<Element> controls() const;
  // The single password-fallback button, or no value (none or several).
  std::optional<Element> passwordButton() const;
  // The single secure text field, or no value (none or several).
  std::optional<Element> secureField() const;
  // Exactly one plain text field, naming this user (short or full name).
  bool isCurrentAccount() const;
  // Unlocked screen, agent still signed by Apple, window still one of the agent's windows.
  bool isPresent() const;
  // Presses the password-fallback button; true when the press was accepted.
  bool switchToPassword() const;
  // Whether `field` is the dialog's focused, settable secure field, and the dialog still for
  // this user.
  bool ready(const Element& field) const;
  // Writes the password `read` gives into `field` and presses the confirm button, checking
  // `permitted` and readiness before the read, the write and the press.
  bool submit(const Element& field, const std::function<bool()>& permitted,
              const std::function<std::optional<std::string>()>& read) const;

  // The raw value of an attribute, or no value.
  static std::optional<AttributeValue> attribute(const Element& element, const std::string& name);
  // The value only when it is an element.
  static std::optional<Element> element(const Element& element, const std::string& name);
  // The value as text; empty when absent or not text.
  static std::string text(const Element& element, const std::string& name);
  static bool isAppleAgent(std::int32_t pid);
  // The identifiers of processes named like the security agent.
  static std::vector<std::int32_t> agentPIDs();

  const std::int32_t pid;
  const Element application;
  const Element window;

 private:
  // The value only when it is a list of elements; the empty list otherwise.
  static std::vector<Element> elements(const Element& element, const std::string& name);
  // The application element of an agent, with the short time-out, and its windows.
  static Element agentApplication(std::int32_t pid);
  bool isCandidate() const;
  std::optional<Element> confirmButton() const;
  // The single control satisfying `matches`, or no value.
  std::optional<Element> single(const std::function<bool(const Element&)>& matches) const;
};

}  // namespace quorvel
