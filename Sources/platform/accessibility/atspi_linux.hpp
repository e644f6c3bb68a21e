// The accessibility bus (AT-SPI) as the Accessibility elements of accessibility_linux.hpp see
// it: whether the bus runs and is enabled, and the elements of other applications on it.
// One per process (libatspi keeps its connection in process-wide state); every call is
// serialised, and none is made before the bus was found running and enabled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/accessibility/accessibility.hpp"

typedef struct _AtspiAccessible AtspiAccessible;

namespace platform::dbus {
class Connection;
}

namespace platform::accessibility {

class AtspiBridge {
 public:
  static AtspiBridge& shared();

  // Element numbers: the system-wide element, one per application (by process identifier),
  // and the elements found on the bus.
  static constexpr std::uint64_t kSystemWide = 1;
  static constexpr std::uint64_t kApplicationBase = 1'000'000;
  static constexpr std::uint64_t kObjectBase = std::uint64_t{1} << 40;
  static bool isApplication(std::uint64_t reference) {
    return reference >= kApplicationBase && reference < kApplicationBase + (std::uint64_t{1} << 32);
  }

  // Time-outs: of every call, or of the calls about one process.
  void setTimeout(double seconds);
  void setTimeout(std::int32_t pid, double seconds);
  // Once this many elements are remembered, the next query gives up every element number
  // (they then answer `invalidUIElement`; numbers are never handed out twice) before it reads
  // its own, so the numbers one query hands out all hold when it returns.
  static constexpr std::size_t kMostRemembered = 20'000;
  void setMostRemembered(std::size_t count);

  AXError copyAttribute(std::uint64_t reference, const std::string& attribute, AttributeValue* value);
  AXError pidOf(std::uint64_t reference, std::int32_t* pid);
  AXError setAttribute(std::uint64_t reference, const std::string& attribute, const AttributeValue& value);
  AXError isSettable(std::uint64_t reference, const std::string& attribute, bool* settable);
  AXError perform(std::uint64_t reference, const std::string& action);

 private:
  AtspiBridge();
  struct Object {
    AtspiAccessible* accessible = nullptr;  // one reference of ours
    std::int32_t pid = 0;
  };

  // Under mutex_: whether the bus runs and is enabled (re-read at most once a second), and
  // libatspi connected to it.
  bool ready();
  void report(const std::string& problem);
  void useTimeoutOf(std::int32_t pid);
  Object* object(std::uint64_t reference);
  void forgetAllWhenFull();
  // Under mutex_: the object of an element about to be asked, with its time-out in force; or
  // the answer when there is nothing to ask (`unsupported` when the request does not apply).
  AXError reach(std::uint64_t reference, bool applies, AXError unsupported, const Object** entry);
  // The element number of `accessible` (whose reference it takes over).
  std::uint64_t remember(AtspiAccessible* accessible, std::int32_t pid);
  AXError applicationsOf(std::int32_t pid, std::vector<AtspiAccessible*>* applications);
  AXError windowsOf(std::int32_t pid, ElementList* windows);
  AXError focusedOf(std::int32_t pid, AttributeValue* value);
  AXError childrenOf(const Object& object, ElementList* children);

  std::mutex mutex_;
  std::unique_ptr<dbus::Connection> sessionBus_;
  double checkedAt_ = -1;
  bool available_ = false;
  bool connected_ = false;
  bool gone_ = false;
  std::string busOwner_;
  std::string reported_;
  double defaultTimeout_ = kDefaultMessagingTimeout;
  std::map<std::int32_t, double> timeouts_;
  std::size_t mostRemembered_ = kMostRemembered;
  std::unordered_map<std::uint64_t, Object> objects_;
  std::unordered_map<std::string, std::uint64_t> numbers_;
  std::uint64_t next_ = kObjectBase;
};

}  // namespace platform::accessibility
