// The simulated Accessibility of the tests' machine.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/accessibility/accessibility.hpp"

namespace platform::accessibility {

class SimulatedUserInterface;

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

}  // namespace platform::accessibility
