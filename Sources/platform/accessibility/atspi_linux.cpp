#include "platform/accessibility/atspi_linux.hpp"

#include <atspi/atspi.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>

#include "platform/dbus/connection.hpp"
#include "platform/log/log.hpp"

namespace platform::accessibility {

namespace {

constexpr const char* kA11yBus = "org.a11y.Bus";
// How long a finding about the bus stands before it is read again.
constexpr double kRecheckSeconds = 1.0;
// The walk for an application's focused element.
constexpr int kFocusWalkDepth = 12;
constexpr std::size_t kFocusWalkElements = 400;

const platform::log::Logger& logger() {
  static const auto* const instance = new platform::log::Logger("com.tessmin.quorvel.linux", "accessibility");
  return *instance;
}

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The bus as the session bus describes it.
struct BusState {
  std::string owner;    // org.a11y.Bus's owner; empty when there is none
  std::string problem;  // why other applications cannot be read; empty when they can
  bool answered = true;  // false: the session bus could not be asked this time
};

AXError failure(GError* error) {
  if (!error) return AXError::cannotComplete;
  // libatspi's error domain "atspi_error", code 0: the application no longer exists.
  const bool gone = error->domain == g_quark_from_static_string("atspi_error") && error->code == 0;
  g_error_free(error);
  return gone ? AXError::invalidUIElement : AXError::cannotComplete;
}

std::string taken(gchar* text) {
  std::string result = text ? text : "";
  g_free(text);
  return result;
}

struct States {
  explicit States(AtspiAccessible* accessible) : set(atspi_accessible_get_state_set(accessible)) {}
  ~States() {
    if (set) g_object_unref(set);
  }
  bool has(AtspiStateType state) const { return set && atspi_state_set_contains(set, state); }
  AtspiStateSet* set;
};

std::string roleName(AtspiRole role, const States& states) {
  switch (role) {
    case ATSPI_ROLE_PUSH_BUTTON: return "AXButton";
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_ENTRY: return "AXTextField";
    case ATSPI_ROLE_TEXT: return states.has(ATSPI_STATE_MULTI_LINE) ? "AXTextArea" : "AXTextField";
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW: return "AXWindow";
    case ATSPI_ROLE_LABEL: return "AXStaticText";
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER: return "AXGroup";
    case ATSPI_ROLE_APPLICATION: return "AXApplication";
    default: return "AXUnknown";
  }
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

AtspiBridge& AtspiBridge::shared() {
  // Never destroyed: libatspi's own state lives as long as the process.
  static auto* const bridge = new AtspiBridge();
  return *bridge;
}

AtspiBridge::AtspiBridge() = default;

void AtspiBridge::report(const std::string& problem) {
  if (problem == reported_) return;
  reported_ = problem;
  if (problem.empty()) {
    logger().log("The accessibility bus is running and enabled: other applications' windows can be read");
  } else {
    logger().error("%s: other applications' windows cannot be read", problem);
  }
}

bool AtspiBridge::ready() {
  if (gone_) return false;
  const double now = monotonicSeconds();
  if (checkedAt_ >= 0 && now - checkedAt_ < kRecheckSeconds) return available_;
  checkedAt_ = now;
  if (!sessionBus_) {
    sessionBus_ = std::make_unique<dbus::Connection>(dbus::BusType::session, dbus::Connection::Handlers{});
  }
  const auto state = sessionBus_->ask<BusState>([](sd_bus* bus, std::function<void(std::optional<BusState>)> answer) {
    if (!bus) return answer(BusState{"", "There is no session bus, so no accessibility bus", false});
    dbus::callMethod(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kA11yBus); },
        [bus, answer](const dbus::Reply& reply) {
          const char* owner = nullptr;
          if (!reply.ok() || sd_bus_message_read(reply.message, "s", &owner) < 0 || !owner) {
            const bool unowned = reply.error.rfind("org.freedesktop.DBus.Error.NameHasNoOwner", 0) == 0;
            return answer(BusState{"", "The accessibility bus is not running (nothing owns org.a11y.Bus on the "
                                       "session bus; at-spi-bus-launcher starts it)", unowned});
          }
          const std::string name = owner;
          dbus::callMethod(
              bus, kA11yBus, "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
              [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", "org.a11y.Status", "IsEnabled"); },
              [name, answer](const dbus::Reply& reply) {
                int enabled = 0;
                if (!reply.ok() || sd_bus_message_read(reply.message, "v", "b", &enabled) < 0) {
                  return answer(BusState{name, "Could not read whether accessibility is on (org.a11y.Status "
                                               "IsEnabled): " + reply.error});
                }
                answer(BusState{name, enabled ? "" : "Accessibility is turned off on this desktop (org.a11y.Status "
                                                     "IsEnabled is false)"});
              });
        });
  });
  const BusState found = state.value_or(BusState{"", "The session bus did not answer", false});
  if (connected_ && found.answered && found.owner != busOwner_) {
    gone_ = true;
    available_ = false;
    report("The accessibility bus went away; start Quorvel again to use a new one");
    return false;
  }
  if (!found.problem.empty()) {
    available_ = false;
    report(found.problem);
    return false;
  }
  if (!connected_) {
    if (atspi_init() > 1) {
      atspi_exit();  // so that a later attempt starts afresh
      available_ = false;
      report("Could not connect to the accessibility bus");
      return false;
    }
    connected_ = true;
    busOwner_ = found.owner;
  }
  available_ = true;
  report("");
  return true;
}

void AtspiBridge::setTimeout(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultTimeout_ = seconds;
  timeouts_.clear();
}

void AtspiBridge::setTimeout(std::int32_t pid, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeouts_[pid] = seconds;
}

void AtspiBridge::useTimeoutOf(std::int32_t pid) {
  const auto found = timeouts_.find(pid);
  const double seconds = found == timeouts_.end() ? defaultTimeout_ : found->second;
  double milliseconds = seconds * 1000;
  if (std::isnan(milliseconds)) milliseconds = kDefaultMessagingTimeout * 1000;
  milliseconds = std::clamp(milliseconds, 1.0, static_cast<double>(std::numeric_limits<int>::max()));
  // No extra time for applications that started a moment ago.
  atspi_set_timeout(static_cast<int>(milliseconds), -1);
}

void AtspiBridge::setMostRemembered(std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  mostRemembered_ = count;
}

void AtspiBridge::forgetAllWhenFull() {
  if (objects_.size() < mostRemembered_) return;
  for (auto& entry : objects_) g_object_unref(entry.second.accessible);
  objects_.clear();
  numbers_.clear();
}

AtspiBridge::Object* AtspiBridge::object(std::uint64_t reference) {
  const auto found = objects_.find(reference);
  return found == objects_.end() ? nullptr : &found->second;
}

std::uint64_t AtspiBridge::remember(AtspiAccessible* accessible, std::int32_t pid) {
  // One number per object on the bus: its application's bus name and its path.
  const AtspiObject& remote = accessible->parent;
  const std::string key = std::string(remote.app && remote.app->bus_name ? remote.app->bus_name : "") + "\n" +
                          (remote.path ? remote.path : "");
  if (const auto known = numbers_.find(key); known != numbers_.end()) {
    g_object_unref(accessible);
    return known->second;
  }
  const std::uint64_t number = next_++;
  objects_.emplace(number, Object{accessible, pid});
  numbers_.emplace(key, number);
  return number;
}

AXError AtspiBridge::applicationsOf(std::int32_t pid, std::vector<AtspiAccessible*>* applications) {
  useTimeoutOf(0);  // the registry's answers: the default time-out
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) return AXError::cannotComplete;
  GError* error = nullptr;
  const gint count = atspi_accessible_get_child_count(desktop, &error);
  if (error) {
    g_object_unref(desktop);
    return failure(error);
  }
  for (gint i = 0; i < count; ++i) {
    AtspiAccessible* application = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (!application) continue;
    // The bus says which process the application's connection belongs to.
    const guint owner = atspi_accessible_get_process_id(application, nullptr);
    if (owner != 0 && static_cast<std::int32_t>(owner) == pid) {
      applications->push_back(application);
    } else {
      g_object_unref(application);
    }
  }
  g_object_unref(desktop);
  return applications->empty() ? AXError::cannotComplete : AXError::success;
}

AXError AtspiBridge::windowsOf(std::int32_t pid, ElementList* windows) {
  std::vector<AtspiAccessible*> applications;
  const AXError found = applicationsOf(pid, &applications);
  if (found != AXError::success) return found;
  useTimeoutOf(pid);
  for (AtspiAccessible* application : applications) {
    const Object owner{application, pid};
    childrenOf(owner, windows);
    g_object_unref(application);
  }
  return AXError::success;
}

AXError AtspiBridge::childrenOf(const Object& parent, ElementList* children) {
  GError* error = nullptr;
  const gint count = atspi_accessible_get_child_count(parent.accessible, &error);
  if (error) return failure(error);
  for (gint i = 0; i < count; ++i) {
    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(parent.accessible, i, nullptr)) {
      children->push_back(Element{remember(child, parent.pid)});
    }
  }
  return AXError::success;
}

AXError AtspiBridge::focusedOf(std::int32_t pid, AttributeValue* value) {
  ElementList windows;
  const AXError found = windowsOf(pid, &windows);
  if (found != AXError::success) return found;
  std::deque<std::pair<Element, int>> queue;
  for (const auto& window : windows) queue.emplace_back(window, 0);
  std::size_t visited = 0;
  while (!queue.empty() && visited < kFocusWalkElements) {
    const auto [next, depth] = queue.front();
    queue.pop_front();
    ++visited;
    const Object* entry = object(next.reference);
    if (!entry) continue;
    if (States(entry->accessible).has(ATSPI_STATE_FOCUSED)) {
      *value = next;
      return AXError::success;
    }
    if (depth >= kFocusWalkDepth) continue;
    ElementList children;
    childrenOf(*entry, &children);
    for (const auto& child : children) queue.emplace_back(child, depth + 1);
  }
  return AXError::noValue;
}

AXError AtspiBridge::copyAttribute(std::uint64_t reference, const std::string& attribute, AttributeValue* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready()) return AXError::apiDisabled;
  // Only queries remember elements, and the objects they walk stay where they are until the
  // next query: the table is emptied here, never in the middle of a walk.
  forgetAllWhenFull();
  if (isApplication(reference)) {
    const auto pid = static_cast<std::int32_t>(reference - kApplicationBase);
    if (attribute == "AXWindows" || attribute == "AXChildren") {
      ElementList windows;
      const AXError found = windowsOf(pid, &windows);
      if (found == AXError::success) *value = windows;
      return found;
    }
    if (attribute == "AXFocusedUIElement") return focusedOf(pid, value);
    if (attribute == "AXRole") {
      *value = std::string("AXApplication");
      return AXError::success;
    }
    return AXError::attributeUnsupported;
  }
  const Object* entry = object(reference);
  if (!entry) return AXError::invalidUIElement;
  useTimeoutOf(entry->pid);
  AtspiAccessible* accessible = entry->accessible;
  GError* error = nullptr;
  if (attribute == "AXChildren") {
    ElementList children;
    const AXError found = childrenOf(*entry, &children);
    if (found == AXError::success) *value = children;
    return found;
  }
  if (attribute == "AXTitle") {
    const std::string name = taken(atspi_accessible_get_name(accessible, &error));
    if (error) return failure(error);
    *value = name;
    return AXError::success;
  }
  if (attribute == "AXValue") {
    AtspiText* text = atspi_accessible_get_text_iface(accessible);
    if (!text) return AXError::noValue;
    const std::string contents = taken(atspi_text_get_text(text, 0, -1, &error));
    g_object_unref(text);
    if (error) return failure(error);
    *value = contents;
    return AXError::success;
  }
  const States states(accessible);
  if (states.has(ATSPI_STATE_DEFUNCT)) return AXError::invalidUIElement;
  if (attribute == "AXEnabled" || attribute == "AXFocused") {
    *value = states.has(attribute == "AXEnabled" ? ATSPI_STATE_ENABLED : ATSPI_STATE_FOCUSED);
    return AXError::success;
  }
  if (attribute == "AXRole" || attribute == "AXSubrole") {
    const AtspiRole role = atspi_accessible_get_role(accessible, &error);
    if (error) return failure(error);
    if (attribute == "AXRole") {
      *value = roleName(role, states);
      return AXError::success;
    }
    if (role == ATSPI_ROLE_PASSWORD_TEXT) {
      *value = std::string("AXSecureTextField");
    } else if (role == ATSPI_ROLE_DIALOG || role == ATSPI_ROLE_ALERT) {
      *value = std::string("AXDialog");
    } else {
      return AXError::noValue;
    }
    return AXError::success;
  }
  return AXError::attributeUnsupported;
}

AXError AtspiBridge::pidOf(std::uint64_t reference, std::int32_t* pid) {
  if (isApplication(reference)) {
    *pid = static_cast<std::int32_t>(reference - kApplicationBase);
    return AXError::success;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const Object* entry = object(reference);
  if (!entry) return AXError::invalidUIElement;
  *pid = entry->pid;
  return AXError::success;
}

AXError AtspiBridge::reach(std::uint64_t reference, bool applies, AXError unsupported, const Object** entry) {
  if (!ready()) return AXError::apiDisabled;
  if (!applies || isApplication(reference)) return unsupported;
  *entry = object(reference);
  if (!*entry) return AXError::invalidUIElement;
  useTimeoutOf((*entry)->pid);
  return AXError::success;
}

AXError AtspiBridge::isSettable(std::uint64_t reference, const std::string& attribute, bool* settable) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Object* entry = nullptr;
  if (const AXError reached = reach(reference, attribute == "AXValue", AXError::attributeUnsupported, &entry);
      reached != AXError::success) {
    return reached;
  }
  const States states(entry->accessible);
  if (states.has(ATSPI_STATE_DEFUNCT)) return AXError::invalidUIElement;
  AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(entry->accessible);
  *settable = editable && states.has(ATSPI_STATE_EDITABLE) && states.has(ATSPI_STATE_ENABLED) &&
              !states.has(ATSPI_STATE_READ_ONLY);
  if (editable) g_object_unref(editable);
  return AXError::success;
}

AXError AtspiBridge::setAttribute(std::uint64_t reference, const std::string& attribute,
                                  const AttributeValue& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Object* entry = nullptr;
  if (const AXError reached = reach(reference, attribute == "AXValue", AXError::attributeUnsupported, &entry);
      reached != AXError::success) {
    return reached;
  }
  const auto* text = std::get_if<std::string>(&value);
  if (!text) return AXError::illegalArgument;
  AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(entry->accessible);
  if (!editable) return AXError::attributeUnsupported;
  GError* error = nullptr;
  const gboolean written = atspi_editable_text_set_text_contents(editable, text->c_str(), &error);
  g_object_unref(editable);
  if (error) return failure(error);
  return written ? AXError::success : AXError::failure;
}

AXError AtspiBridge::perform(std::uint64_t reference, const std::string& action) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Object* entry = nullptr;
  if (const AXError reached = reach(reference, action == "AXPress", AXError::actionUnsupported, &entry);
      reached != AXError::success) {
    return reached;
  }
  AtspiAction* actions = atspi_accessible_get_action_iface(entry->accessible);
  if (!actions) return AXError::actionUnsupported;
  GError* error = nullptr;
  const gint count = atspi_action_get_n_actions(actions, &error);
  AXError result = AXError::actionUnsupported;
  for (gint i = 0; !error && i < count; ++i) {
    const std::string name = lowered(taken(atspi_action_get_name(actions, i, nullptr)));
    if (name != "press" && name != "click") continue;
    result = atspi_action_do_action(actions, i, &error) ? AXError::success : AXError::cannotComplete;
    break;
  }
  g_object_unref(actions);
  return error ? failure(error) : result;
}

}  // namespace platform::accessibility
