#include "platform/accessibility/simulated_accessibility.hpp"

#include <cmath>

#include "platform/accessibility/simulated_user_interface.hpp"

namespace platform::accessibility {

bool SimulatedAccessibility::isProcessTrusted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return trusted_;
}

bool SimulatedAccessibility::isProcessTrustedWithOptions(bool prompt) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (prompt && !trusted_) {
    ++prompts_;
    if (grantOnPrompt_) trusted_ = true;
  }
  return trusted_;
}

Element SimulatedAccessibility::createSystemWide() { return Element{kSystemWideReference}; }

AXError SimulatedAccessibility::setMessagingTimeout(const Element& element, float seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return AXError::illegalArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  // Zero restores the global default.
  if (seconds == 0) {
    timeouts_.erase(element.reference);
  } else {
    timeouts_[element.reference] = seconds;
  }
  return AXError::success;
}

AXError SimulatedAccessibility::copyAttributeValue(const Element& element,
                                                   const std::string& attribute,
                                                   AttributeValue* value) {
  if (!value) return AXError::illegalArgument;
  *value = std::monostate{};
  if (element.reference != kSystemWideReference) {
    return ui_->copy(element, attribute, value, timeoutFor(element));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (attribute != kFocusedApplicationAttribute) return AXError::attributeUnsupported;
  ++focusedQueries_;
  auto timeout = timeouts_.find(element.reference);
  const double limit = timeout == timeouts_.end() ? kDefaultMessagingTimeout : timeout->second;
  lastQueryTimeout_ = limit;
  if (responseDelay_ > limit) return AXError::cannotComplete;
  switch (focused_.kind) {
    case FocusedAnswer::Kind::application:
      *value = Element{kApplicationBase + static_cast<std::uint64_t>(static_cast<std::uint32_t>(focused_.pid))};
      return AXError::success;
    case FocusedAnswer::Kind::error:
      return focused_.error;
    case FocusedAnswer::Kind::nothing:
      return AXError::noValue;
    case FocusedAnswer::Kind::otherType:
      *value = std::string("AXApplication");
      return AXError::success;
  }
  return AXError::failure;
}

AXError SimulatedAccessibility::getPid(const Element& element, std::int32_t* pid) {
  if (!pid) return AXError::illegalArgument;
  if (element.reference >= SimulatedUserInterface::kElementBase) {
    const auto owner = ui_->ownerOf(element);
    if (!owner) return AXError::invalidUIElement;
    *pid = *owner;
    return AXError::success;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (element.reference < kApplicationBase) return AXError::invalidUIElement;
  if (pidError_ != AXError::success) return pidError_;
  *pid = static_cast<std::int32_t>(static_cast<std::uint32_t>(element.reference - kApplicationBase));
  return AXError::success;
}

void SimulatedAccessibility::setTrusted(bool trusted) {
  std::lock_guard<std::mutex> lock(mutex_);
  trusted_ = trusted;
}

void SimulatedAccessibility::setGrantOnPrompt(bool grant) {
  std::lock_guard<std::mutex> lock(mutex_);
  grantOnPrompt_ = grant;
}

std::size_t SimulatedAccessibility::promptCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prompts_;
}

void SimulatedAccessibility::setFocusedAnswer(FocusedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  focused_ = answer;
}

void SimulatedAccessibility::setResponseDelay(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  responseDelay_ = seconds;
}

void SimulatedAccessibility::setPidError(AXError error) {
  std::lock_guard<std::mutex> lock(mutex_);
  pidError_ = error;
}

std::size_t SimulatedAccessibility::focusedQueryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return focusedQueries_;
}

std::optional<double> SimulatedAccessibility::lastQueryTimeout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastQueryTimeout_;
}

}  // namespace platform::accessibility
