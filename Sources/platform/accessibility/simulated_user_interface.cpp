#include "platform/accessibility/simulated_user_interface.hpp"
#include "platform/accessibility/simulated_accessibility.hpp"

#include <utility>

namespace platform::accessibility {

// --- the elements --------------------------------------------------------------------------

Element SimulatedUserInterface::applicationElement(std::int32_t pid) {
  return Element{SimulatedAccessibility::kApplicationBase +
                 static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid))};
}

void SimulatedUserInterface::addApplication(std::int32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  applications_.try_emplace(pid);
  Node application;
  application.pid = pid;
  application.attributes["AXRole"] = std::string("AXApplication");
  nodes_.try_emplace(applicationElement(pid).reference, std::move(application));
}

void SimulatedUserInterface::removeApplication(std::int32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  applications_.erase(pid);
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    it = it->second.pid == pid ? nodes_.erase(it) : std::next(it);
  }
}

void SimulatedUserInterface::setResponseDelay(std::int32_t pid, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = applications_.find(pid);
  if (found != applications_.end()) found->second.responseDelay = seconds;
}

Element SimulatedUserInterface::makeElement(std::int32_t pid, std::map<std::string, AttributeValue> attributes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Element element{nextReference_++};
  Node created;
  created.pid = pid;
  created.attributes = std::move(attributes);
  nodes_.emplace(element.reference, std::move(created));
  return element;
}

SimulatedUserInterface::Node* SimulatedUserInterface::node(const Element& element) {
  auto found = nodes_.find(element.reference);
  return found == nodes_.end() ? nullptr : &found->second;
}

void SimulatedUserInterface::setAttribute(const Element& element, const std::string& attribute, AttributeValue value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) found->attributes[attribute] = std::move(value);
}

void SimulatedUserInterface::removeAttribute(const Element& element, const std::string& attribute) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) found->attributes.erase(attribute);
}

std::optional<AttributeValue> SimulatedUserInterface::storedAttribute(const Element& element,
                                                                      const std::string& attribute) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(element.reference);
  if (found == nodes_.end()) return std::nullopt;
  auto value = found->second.attributes.find(attribute);
  if (value == found->second.attributes.end()) return std::nullopt;
  return value->second;
}

namespace {
void setOrClear(std::map<std::string, AXError>& errors, const std::string& attribute, std::optional<AXError> error) {
  if (error) {
    errors[attribute] = *error;
  } else {
    errors.erase(attribute);
  }
}
}  // namespace

void SimulatedUserInterface::setAttributeError(const Element& element, const std::string& attribute,
                                               std::optional<AXError> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) setOrClear(found->attributeErrors, attribute, error);
}

void SimulatedUserInterface::setSettable(const Element& element, const std::string& attribute, bool settable,
                                         WriteHandler onWrite) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto* found = node(element);
  if (!found) return;
  if (settable) {
    found->settable.insert(attribute);
    found->writeHandlers[attribute] = std::move(onWrite);
  } else {
    found->settable.erase(attribute);
    found->writeHandlers.erase(attribute);
  }
}

void SimulatedUserInterface::setSettableQueryError(const Element& element, const std::string& attribute,
                                                   std::optional<AXError> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) setOrClear(found->settableQueryErrors, attribute, error);
}

void SimulatedUserInterface::setWriteError(const Element& element, const std::string& attribute,
                                           std::optional<AXError> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) setOrClear(found->writeErrors, attribute, error);
}

void SimulatedUserInterface::setAction(const Element& element, const std::string& action, ActionHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) found->actions[action] = std::move(handler);
}

void SimulatedUserInterface::removeAction(const Element& element, const std::string& action) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto* found = node(element)) found->actions.erase(action);
}

std::vector<SimulatedUserInterface::Write> SimulatedUserInterface::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

std::vector<SimulatedUserInterface::Performed> SimulatedUserInterface::performed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return performed_;
}

std::size_t SimulatedUserInterface::queryCount(std::int32_t pid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = applications_.find(pid);
  return found == applications_.end() ? 0 : found->second.queries;
}

// --- the queries ---------------------------------------------------------------------------

SimulatedUserInterface::Node* SimulatedUserInterface::reach(const Element& element, double timeout, AXError* error) {
  const bool isApplication = element.reference >= SimulatedAccessibility::kApplicationBase &&
                             element.reference < kElementBase;
  auto* found = node(element);
  if (!found) {
    // An application that is not running (or shows no interface) never answers.
    *error = isApplication ? AXError::cannotComplete : AXError::invalidUIElement;
    return nullptr;
  }
  auto application = applications_.find(found->pid);
  if (application == applications_.end()) {
    *error = AXError::invalidUIElement;
    return nullptr;
  }
  ++application->second.queries;
  if (application->second.responseDelay > timeout) {
    *error = AXError::cannotComplete;
    return nullptr;
  }
  *error = AXError::success;
  return found;
}

AXError SimulatedUserInterface::copy(const Element& element, const std::string& attribute, AttributeValue* value,
                                     double timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  *value = std::monostate{};
  AXError error = AXError::success;
  auto* found = reach(element, timeout, &error);
  if (!found) return error;
  auto failure = found->attributeErrors.find(attribute);
  if (failure != found->attributeErrors.end()) return failure->second;
  auto stored = found->attributes.find(attribute);
  if (stored == found->attributes.end()) return AXError::noValue;
  *value = stored->second;
  return AXError::success;
}

AXError SimulatedUserInterface::write(const Element& element, const std::string& attribute,
                                      const AttributeValue& value, double timeout) {
  WriteHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    AXError error = AXError::success;
    auto* found = reach(element, timeout, &error);
    if (!found) return error;
    if (found->settable.count(attribute) == 0) {
      return found->attributes.count(attribute) ? AXError::illegalArgument : AXError::attributeUnsupported;
    }
    auto failure = found->writeErrors.find(attribute);
    if (failure != found->writeErrors.end()) return failure->second;
    found->attributes[attribute] = value;
    writes_.push_back(Write{element, attribute, value});
    handler = found->writeHandlers[attribute];
  }
  // The application reacts outside the lock: it may change its own interface.
  if (handler) handler(value);
  return AXError::success;
}

AXError SimulatedUserInterface::settable(const Element& element, const std::string& attribute, bool* settable,
                                         double timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  *settable = false;
  AXError error = AXError::success;
  auto* found = reach(element, timeout, &error);
  if (!found) return error;
  auto failure = found->settableQueryErrors.find(attribute);
  if (failure != found->settableQueryErrors.end()) return failure->second;
  if (found->settable.count(attribute)) {
    *settable = true;
    return AXError::success;
  }
  return found->attributes.count(attribute) ? AXError::success : AXError::attributeUnsupported;
}

AXError SimulatedUserInterface::perform(const Element& element, const std::string& action, double timeout) {
  ActionHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    AXError error = AXError::success;
    auto* found = reach(element, timeout, &error);
    if (!found) return error;
    auto registered = found->actions.find(action);
    if (registered == found->actions.end()) return AXError::actionUnsupported;
    performed_.push_back(Performed{element, action});
    handler = registered->second;
  }
  return handler ? handler() : AXError::success;
}

std::optional<std::int32_t> SimulatedUserInterface::ownerOf(const Element& element) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(element.reference);
  if (found == nodes_.end() || applications_.count(found->second.pid) == 0) return std::nullopt;
  return found->second.pid;
}

// --- the simulated Accessibility's element calls -------------------------------------------

SimulatedAccessibility::SimulatedAccessibility() : ui_(std::make_shared<SimulatedUserInterface>()) {}

double SimulatedAccessibility::timeoutFor(const Element& element) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto timeout = timeouts_.find(element.reference);
  return timeout == timeouts_.end() ? kDefaultMessagingTimeout : timeout->second;
}

Element SimulatedAccessibility::createApplication(std::int32_t pid) {
  return SimulatedUserInterface::applicationElement(pid);
}

AXError SimulatedAccessibility::setAttributeValue(const Element& element, const std::string& attribute,
                                                  const AttributeValue& value) {
  if (element.reference == kSystemWideReference) return AXError::attributeUnsupported;
  return ui_->write(element, attribute, value, timeoutFor(element));
}

AXError SimulatedAccessibility::isAttributeSettable(const Element& element, const std::string& attribute,
                                                    bool* settable) {
  if (!settable) return AXError::illegalArgument;
  *settable = false;
  if (element.reference == kSystemWideReference) return AXError::success;
  return ui_->settable(element, attribute, settable, timeoutFor(element));
}

AXError SimulatedAccessibility::performAction(const Element& element, const std::string& action) {
  if (element.reference == kSystemWideReference) return AXError::actionUnsupported;
  return ui_->perform(element, action, timeoutFor(element));
}

}  // namespace platform::accessibility
