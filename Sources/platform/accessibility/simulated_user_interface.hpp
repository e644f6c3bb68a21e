// The user interface that the simulated Accessibility answers about: applications by process
// identifier, each with elements (windows, buttons, fields) that carry attributes, settable
// attributes and actions. Tests build the elements, script how an application reacts to a
// write or an action, how long it takes to answer, and which queries fail.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/accessibility/accessibility.hpp"

namespace platform::accessibility {

class SimulatedUserInterface {
 public:
  // Elements other than the system-wide and application elements are numbered from here.
  static constexpr std::uint64_t kElementBase = std::uint64_t{1} << 40;

  using ActionHandler = std::function<AXError()>;
  // Runs after a write has been stored (the application reacting to its new value).
  using WriteHandler = std::function<void(const AttributeValue& value)>;

  struct Write {
    Element element;
    std::string attribute;
    AttributeValue value;
  };
  struct Performed {
    Element element;
    std::string action;
  };

  // The element of the application `pid` (whether it is present or not).
  static Element applicationElement(std::int32_t pid);

  // An application answers queries only while it is present; removing it leaves every
  // element of it invalid.
  void addApplication(std::int32_t pid);
  void removeApplication(std::int32_t pid);
  // Seconds the application takes to answer a query about any of its elements.
  void setResponseDelay(std::int32_t pid, double seconds);

  // A new element of application `pid` with the given attributes.
  Element makeElement(std::int32_t pid, std::map<std::string, AttributeValue> attributes = {});
  void setAttribute(const Element& element, const std::string& attribute, AttributeValue value);
  void removeAttribute(const Element& element, const std::string& attribute);
  // The stored value, read directly (no query is counted), or no value.
  std::optional<AttributeValue> storedAttribute(const Element& element, const std::string& attribute) const;
  // Makes queries of `attribute` of `element` fail with `error` (no value restores them).
  void setAttributeError(const Element& element, const std::string& attribute, std::optional<AXError> error);
  void setSettable(const Element& element, const std::string& attribute, bool settable,
                   WriteHandler onWrite = nullptr);
  // Makes the settable query (not the write) of `attribute` fail with `error`.
  void setSettableQueryError(const Element& element, const std::string& attribute,
                             std::optional<AXError> error);
  // Makes writes of `attribute` fail with `error` although it is settable.
  void setWriteError(const Element& element, const std::string& attribute, std::optional<AXError> error);
  void setAction(const Element& element, const std::string& action, ActionHandler handler);
  void removeAction(const Element& element, const std::string& action);

  std::vector<Write> writes() const;
  std::vector<Performed> performed() const;
  // Queries answered or refused, of any element of application `pid`.
  std::size_t queryCount(std::int32_t pid) const;

  // --- for SimulatedAccessibility: each query waits at most `timeout` seconds ---
  AXError copy(const Element& element, const std::string& attribute, AttributeValue* value, double timeout);
  AXError write(const Element& element, const std::string& attribute, const AttributeValue& value,
                double timeout);
  AXError settable(const Element& element, const std::string& attribute, bool* settable, double timeout);
  AXError perform(const Element& element, const std::string& action, double timeout);
  // The application that owns `element`, while both exist.
  std::optional<std::int32_t> ownerOf(const Element& element) const;

 private:
  struct Node {
    std::int32_t pid = 0;
    std::map<std::string, AttributeValue> attributes;
    std::map<std::string, AXError> attributeErrors;
    std::set<std::string> settable;
    std::map<std::string, AXError> settableQueryErrors;
    std::map<std::string, AXError> writeErrors;
    std::map<std::string, WriteHandler> writeHandlers;
    std::map<std::string, ActionHandler> actions;
  };
  struct Application {
    double responseDelay = 0;
    std::size_t queries = 0;
  };

  // The node of a live element of a present application, counting the query and checking
  // the time-out; `error` says why there is none. Called with the mutex held.
  Node* reach(const Element& element, double timeout, AXError* error);
  Node* node(const Element& element);

  mutable std::mutex mutex_;
  std::map<std::int32_t, Application> applications_;
  std::map<std::uint64_t, Node> nodes_;
  std::uint64_t nextReference_ = kElementBase;
  std::vector<Write> writes_;
  std::vector<Performed> performed_;
};

}  // namespace platform::accessibility
