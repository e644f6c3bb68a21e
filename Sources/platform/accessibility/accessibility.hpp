// Accessibility: whether this process is trusted to inspect and drive other applications,
// the system-wide and application elements, attribute queries and writes on elements with a
// messaging time-out, and actions performed on elements.
#pragma once

#include <cstdint>
#include <memory>
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

std::shared_ptr<Accessibility> current();
void install(std::shared_ptr<Accessibility> accessibility);

}  // namespace platform::accessibility
