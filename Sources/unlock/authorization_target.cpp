#include "unlock/authorization_target.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>
#include <variant>

#include "platform/codesign/codesign.hpp"
#include "platform/processes/processes.hpp"
#include "platform/users/users.hpp"
#include "unlock/authorization_assist.hpp"
#include "unlock/lock_monitor.hpp"

namespace quorvel {

namespace ax = platform::accessibility;

namespace {

constexpr const char* kWindows = "AXWindows";
constexpr const char* kChildren = "AXChildren";
constexpr const char* kRole = "AXRole";
constexpr const char* kSubrole = "AXSubrole";
constexpr const char* kTitle = "AXTitle";
constexpr const char* kValue = "AXValue";
constexpr const char* kEnabled = "AXEnabled";
constexpr const char* kFocusedUIElement = "AXFocusedUIElement";
constexpr const char* kButtonRole = "AXButton";
constexpr const char* kTextFieldRole = "AXTextField";
constexpr const char* kSecureTextFieldSubrole = "AXSecureTextField";
constexpr const char* kPressAction = "AXPress";

// Bytes read as UTF-8, each invalid sequence replaced by U+FFFD.
std::string repairedUTF8(const std::string& bytes) {
  static const std::string replacement = "\xEF\xBF\xBD";
  std::string result;
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  while (i < bytes.size()) {
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned int minimum = 0;
    unsigned int code = 0;
    if (lead < 0x80) {
      result.push_back(static_cast<char>(lead));
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
      result += replacement;
      ++i;
      continue;
    }
    std::size_t taken = 1;
    while (taken < length && i + taken < bytes.size() && (byte(i + taken) & 0xC0) == 0x80) {
      code = (code << 6) | (byte(i + taken) & 0x3F);
      ++taken;
    }
    if (taken < length || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      result += replacement;
      i += taken;
      continue;
    }
    result.append(bytes, i, length);
    i += length;
  }
  return result;
}

std::string word(bool value) { return value ? "true" : "false"; }

bool oneOf(const std::string& title, const std::array<const char*, 3>& titles) {
  return std::any_of(titles.begin(), titles.end(), [&](const char* candidate) { return title == candidate; });
}

}  // namespace

AuthorizationTarget::AuthorizationTarget(std::int32_t pid, Element application, Element window)
    : pid(pid), application(application), window(window) {}

// --- helpers -------------------------------------------------------------------------------

std::optional<AuthorizationTarget::AttributeValue> AuthorizationTarget::attribute(const Element& element,
                                                                                const std::string& name) {
  AttributeValue value;
  if (ax::current()->copyAttributeValue(element, name, &value) != ax::AXError::success) return std::nullopt;
  if (std::holds_alternative<std::monostate>(value)) return std::nullopt;
  return value;
}

std::optional<AuthorizationTarget::Element> AuthorizationTarget::element(const Element& element,
                                                                         const std::string& name) {
  const auto value = attribute(element, name);
  if (!value) return std::nullopt;
  if (const auto* found = std::get_if<Element>(&*value)) return *found;
  return std::nullopt;
}

std::string AuthorizationTarget::text(const Element& element, const std::string& name) {
  const auto value = attribute(element, name);
  if (!value) return {};
  if (const auto* found = std::get_if<std::string>(&*value)) return *found;
  return {};
}

std::vector<AuthorizationTarget::Element> AuthorizationTarget::elements(const Element& element,
                                                                        const std::string& name) {
  const auto value = attribute(element, name);
  if (!value) return {};
  if (const auto* found = std::get_if<ax::ElementList>(&*value)) return *found;
  return {};
}

std::vector<std::int32_t> AuthorizationTarget::agentPIDs() {
  auto processes = platform::processes::current();
  const int count = processes->listAllPids(nullptr, 0);
  if (count < 1) return {};
  std::vector<std::int32_t> buffer(static_cast<std::size_t>(count) + 64, 0);
  const int listed = processes->listAllPids(buffer.data(), static_cast<int>(buffer.size()));
  if (listed < 1) return {};
  std::vector<std::int32_t> agents;
  const std::size_t available = std::min(static_cast<std::size_t>(listed), buffer.size());
  for (std::size_t i = 0; i < available; ++i) {
    char name[256] = {};
    if (processes->processName(buffer[i], name, sizeof(name)) <= 0) continue;
    if (repairedUTF8(std::string(name, ::strnlen(name, sizeof(name)))) == processName) agents.push_back(buffer[i]);
  }
  return agents;
}

bool AuthorizationTarget::isAppleAgent(std::int32_t pid) {
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

AuthorizationTarget::Element AuthorizationTarget::agentApplication(std::int32_t pid) {
  auto accessibility = ax::current();
  const Element application = accessibility->createApplication(pid);
  accessibility->setMessagingTimeout(application, messagingTimeout);
  return application;
}

// --- the dialog ----------------------------------------------------------------------------

std::vector<AuthorizationTarget::Element> AuthorizationTarget::controls() const {
  std::deque<std::pair<Element, int>> queue{{window, 0}};
  std::vector<Element> result;
  while (!queue.empty() && result.size() < maximumControls) {
    const auto [next, depth] = queue.front();
    queue.pop_front();
    result.push_back(next);
    if (depth <= maximumChildDepth) {
      for (const auto& child : elements(next, kChildren)) queue.emplace_back(child, depth + 1);
    }
  }
  return result;
}

std::optional<AuthorizationTarget::Element> AuthorizationTarget::single(
    const std::function<bool(const Element&)>& matches) const {
  std::optional<Element> found;
  for (const auto& control : controls()) {
    if (!matches(control)) continue;
    if (found) return std::nullopt;
    found = control;
  }
  return found;
}

std::optional<AuthorizationTarget::Element> AuthorizationTarget::passwordButton() const {
  return single([](const Element& control) {
    return text(control, kRole) == kButtonRole && oneOf(text(control, kTitle), passwordFallbackTitles);
  });
}

std::optional<AuthorizationTarget::Element> AuthorizationTarget::confirmButton() const {
  return single([](const Element& control) {
    return text(control, kRole) == kButtonRole && oneOf(text(control, kTitle), confirmTitles);
  });
}

std::optional<AuthorizationTarget::Element> AuthorizationTarget::secureField() const {
  return single([](const Element& control) { return text(control, kSubrole) == kSecureTextFieldSubrole; });
}

bool AuthorizationTarget::isCurrentAccount() const {
  std::vector<Element> fields;
  for (const auto& control : controls()) {
    if (text(control, kRole) == kTextFieldRole && text(control, kSubrole) != kSecureTextFieldSubrole) {
      fields.push_back(control);
    }
  }
  if (fields.size() != 1) return false;
  const std::string name = text(fields.front(), kValue);
  // An empty field names nobody, even when the account has no full name.
  if (name.empty()) return false;
  auto users = platform::users::current();
  return name == users->userName() || name == users->fullUserName();
}

bool AuthorizationTarget::isPresent() const {
  if (LockMonitor::isScreenActuallyLocked()) return false;
  if (!isAppleAgent(pid)) return false;
  const auto windows = elements(application, kWindows);
  return std::find(windows.begin(), windows.end(), window) != windows.end();
}

bool AuthorizationTarget::isCandidate() const {
  return passwordButton() || (secureField() && isCurrentAccount());
}

std::optional<AuthorizationTarget> AuthorizationTarget::capture() {
  if (!ax::current()->isProcessTrusted()) return std::nullopt;
  if (LockMonitor::isScreenActuallyLocked()) return std::nullopt;
  std::optional<AuthorizationTarget> candidate;
  std::size_t candidates = 0;
  for (const std::int32_t agent : agentPIDs()) {
    if (!isAppleAgent(agent)) continue;
    const Element application = agentApplication(agent);
    for (const auto& window : elements(application, kWindows)) {
      AuthorizationTarget target(agent, application, window);
      if (!target.isCandidate()) continue;
      ++candidates;
      if (!candidate) candidate.emplace(target);
    }
  }
  if (candidates != 1) return std::nullopt;
  return candidate;
}

bool AuthorizationTarget::switchToPassword() const {
  if (!isPresent()) return false;
  const auto button = passwordButton();
  if (!button) return false;
  return ax::current()->performAction(*button, kPressAction) == ax::AXError::success;
}

bool AuthorizationTarget::ready(const Element& field) const {
  if (!isPresent() || !isCurrentAccount()) return false;
  const auto secure = secureField();
  if (!secure || *secure != field) return false;
  const auto focused = element(application, kFocusedUIElement);
  if (!focused || *focused != field) return false;
  bool settable = false;
  return ax::current()->isAttributeSettable(field, kValue, &settable) == ax::AXError::success && settable;
}

bool AuthorizationTarget::submit(const Element& field, const std::function<bool()>& permitted,
                                 const std::function<std::optional<std::string>()>& read) const {
  const auto button = confirmButton();
  if (!button) return false;
  return AuthorizationSubmission::perform(
      [&] {
        if (!permitted() || !ready(field)) return false;
        const auto still = confirmButton();
        return still && *still == *button;
      },
      read,
      [&](const std::string& password) {
        return ax::current()->setAttributeValue(field, kValue, AttributeValue(password)) == ax::AXError::success;
      },
      [&] {
        const auto enabled = attribute(*button, kEnabled);
        const auto* flag = enabled ? std::get_if<bool>(&*enabled) : nullptr;
        if (!flag || !*flag) return false;
        return ax::current()->performAction(*button, kPressAction) == ax::AXError::success;
      });
}

// --- the report ----------------------------------------------------------------------------

std::string AuthorizationTarget::diagnostic() {
  std::vector<std::string> lines;
  lines.push_back("Accessibility trusted: " + word(ax::current()->isProcessTrusted()));
  lines.push_back("Locked: " + word(LockMonitor::isScreenActuallyLocked()));
  for (const std::int32_t agent : agentPIDs()) {
    const bool verified = isAppleAgent(agent);
    lines.push_back("SecurityAgent pid " + std::to_string(agent) + ", Apple signature verified: " + word(verified));
    if (!verified) continue;
    const Element application = agentApplication(agent);
    const auto windows = elements(application, kWindows);
    lines.push_back("Accessible windows: " + std::to_string(windows.size()));
    for (const auto& window : windows) {
      const AuthorizationTarget target(agent, application, window);
      const auto secure = target.secureField();
      lines.push_back("Password fallback: " + word(target.passwordButton().has_value()) +
                      "; secure field: " + word(secure.has_value()) + "; own account: " +
                      word(target.isCurrentAccount()));
      if (secure) lines.push_back("Safe direct input ready: " + word(target.ready(*secure)));
    }
  }
  std::string report;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) report += '\n';
    report += lines[i];
  }
  return report;
}

}  // namespace quorvel
