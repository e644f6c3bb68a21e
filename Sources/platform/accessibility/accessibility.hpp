// Accessibility: whether this process is trusted to inspect and drive other applications,
// the system-wide and application elements, attribute queries and writes on elements with a
// messaging time-out, and actions performed on elements.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform::accessibility {

enum class AXError : std::int32_t {
  success = 0,
  failure = -25200,
  illegalArgument = -25201,
  invalidUIElement = -25202,
  cannotComplete = -25204,
  attributeUnsupported = -25205,
  actionUnsupported = -25206,
  notImplemented = -25208,
  apiDisabled = -25211,
  noValue = -25212,
};

inline constexpr const char* kFocusedApplicationAttribute = "AXFocusedApplication";
// How long a query waits for an answer unless the element's time-out was set.
inline constexpr double kDefaultMessagingTimeout = 6.0;

// A reference to a user-interface element (an application, a window, the whole system).
struct Element {
  std::uint64_t reference = 0;
  friend bool operator==(const Element&, const Element&) = default;
};

using ElementList = std::vector<Element>;

// What an attribute query gives: nothing, an element, a list of elements, or a value of
// another type.
using AttributeValue = std::variant<std::monostate, Element, std::string, double, bool, ElementList>;

class SimulatedUserInterface;

class Accessibility {
 public:
  virtual ~Accessibility() = default;
  virtual bool isProcessTrusted() = 0;
  // With `prompt`, the system asks the user to grant the permission (when not yet trusted).
  virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
  virtual Element createSystemWide() = 0;
  virtual AXError setMessagingTimeout(const Element& element, float seconds) = 0;
  virtual AXError copyAttributeValue(const Element& element, const std::string& attribute,
                                     AttributeValue* value) = 0;
  virtual AXError getPid(const Element& element, std::int32_t* pid) = 0;
  // The element of the application with this process identifier (made even for no process).
  virtual Element createApplication(std::int32_t pid) = 0;
  virtual AXError setAttributeValue(const Element& element, const std::string& attribute,
                                    const AttributeValue& value) = 0;
  virtual AXError isAttributeSettable(const Element& element, const std::string& attribute,
                                      bool* settable) = 0;
  virtual AXError performAction(const Element& element, const std::string& action) = 0;
};

// The tests' Accessibility: trust and the focused application are scripted; a query whose
// answer takes longer than the element's time-out fails with `cannotComplete`. Applications'
// windows and controls live in its user interface (`ui()`, simulated_user_interface.hpp).
class SimulatedAccessibility : public Accessibility {
 public:
  // What the system-wide element's "AXFocusedApplication" gives.
  struct FocusedAnswer {
    enum class Kind { application, error, nothing, otherType };
    Kind kind = Kind::nothing;
    std::int32_t pid = 0;
    AXError error = AXError::success;

    static FocusedAnswer application(std::int32_t pid) { return {Kind::application, pid, AXError::success}; }
    static FocusedAnswer failing(AXError error) { return {Kind::error, 0, error}; }
    static FocusedAnswer none() { return {Kind::nothing, 0, AXError::success}; }
    static FocusedAnswer ofOtherType() { return {Kind::otherType, 0, AXError::success}; }
  };

  bool isProcessTrusted() override;
  bool isProcessTrustedWithOptions(bool prompt) override;
  Element createSystemWide() override;
  AXError setMessagingTimeout(const Element& element, float seconds) override;
  AXError copyAttributeValue(const Element& element, const std::string& attribute,
                             AttributeValue* value) override;
  AXError getPid(const Element& element, std::int32_t* pid) override;
  Element createApplication(std::int32_t pid) override;
  AXError setAttributeValue(const Element& element, const std::string& attribute,
                            const AttributeValue& value) override;
  AXError isAttributeSettable(const Element& element, const std::string& attribute,
                              bool* settable) override;
  AXError performAction(const Element& element, const std::string& action) override;

  SimulatedAccessibility();
  SimulatedUserInterface& ui() { return *ui_; }
  // The messaging time-out in force for `element`.
  double timeoutFor(const Element& element) const;

  void setTrusted(bool trusted);
  // Granting on prompt: the next prompt makes the process trusted.
  void setGrantOnPrompt(bool grant);
  std::size_t promptCount() const;
  void setFocusedAnswer(FocusedAnswer answer);
  // Seconds the focused-application query takes to answer.
  void setResponseDelay(double seconds);
  // Makes the process-identifier query of application elements fail with `error`
  // (`success` restores it).
  void setPidError(AXError error);
  std::size_t focusedQueryCount() const;
  // The time-out in force for the last focused-application query.
  std::optional<double> lastQueryTimeout() const;

  static constexpr std::uint64_t kSystemWideReference = 1;
  static constexpr std::uint64_t kApplicationBase = 1'000'000;

 private:
  std::shared_ptr<SimulatedUserInterface> ui_;

  mutable std::mutex mutex_;
  bool trusted_ = true;
  bool grantOnPrompt_ = false;
  std::size_t prompts_ = 0;
  FocusedAnswer focused_{};
  double responseDelay_ = 0;
  AXError pidError_ = AXError::success;
  std::map<std::uint64_t, double> timeouts_;
  std::size_t focusedQueries_ = 0;
  std::optional<double> lastQueryTimeout_;
};

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

std::shared_ptr<Accessibility> current();
void install(std::shared_ptr<Accessibility> accessibility);

}  // namespace platform::accessibility
