// Authorization services: an authorization reference, a request for rights on it (which, with
// interaction allowed, makes the system's security agent show its authentication dialog and
// blocks the calling thread until the dialog is answered), and freeing the reference. Status
// codes and flag values are the platform's.
//
// Implementations: `SimulatedAuthorization` (scripted answers and timing, tied to the tests'
// security agent through hooks) and `LinuxAuthorization` (no security agent exists: rights
// that need the user are refused as when interaction is impossible).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::authorization {

using OSStatus = std::int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;

using Flags = std::uint32_t;
inline constexpr Flags kAuthorizationFlagDefaults = 0;
inline constexpr Flags kAuthorizationFlagInteractionAllowed = 1u << 0;
inline constexpr Flags kAuthorizationFlagExtendRights = 1u << 1;
inline constexpr Flags kAuthorizationFlagPartialRights = 1u << 2;
inline constexpr Flags kAuthorizationFlagDestroyRights = 1u << 3;
inline constexpr Flags kAuthorizationFlagPreAuthorize = 1u << 4;

// One right (or environment entry): a name, an optional value and item flags.
struct Item {
  std::string name;
  std::optional<std::string> value;
  std::uint32_t flags = 0;
  friend bool operator==(const Item&, const Item&) = default;
};
using ItemSet = std::vector<Item>;

// An authorization reference; 0 is no reference.
struct Reference {
  std::uint64_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(const Reference&, const Reference&) = default;
};

class Authorization {
 public:
  virtual ~Authorization() = default;
  // Makes a reference, optionally asking for `rights` at once. `reference` receives it.
  virtual OSStatus create(const ItemSet* rights, const ItemSet* environment, Flags flags,
                          Reference* reference) = 0;
  // Asks for `rights` on `reference`. With interaction allowed this may show the
  // authentication dialog and returns when it is answered. `granted` (when given) receives
  // the rights obtained.
  virtual OSStatus copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment,
                              Flags flags, ItemSet* granted) = 0;
  // Frees the reference; with kAuthorizationFlagDestroyRights the rights it holds go too.
  virtual OSStatus free(Reference reference, Flags flags) = 0;
};

// The installed implementation, else the Linux one (made on first use).
std::shared_ptr<Authorization> current();
void install(std::shared_ptr<Authorization> authorization);

// Linux has no security agent: references are made and freed, but a rights request is
// refused with errAuthorizationInteractionNotAllowed (the platform's answer when no dialog
// can be shown) without waiting.
class LinuxAuthorization : public Authorization {
 public:
  OSStatus create(const ItemSet* rights, const ItemSet* environment, Flags flags, Reference* reference) override;
  OSStatus copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment, Flags flags,
                      ItemSet* granted) override;
  OSStatus free(Reference reference, Flags flags) override;

 private:
  std::mutex mutex_;
  std::uint64_t next_ = 1;
  std::vector<std::uint64_t> live_;
};

// The tests' authorization services. Every call is recorded with the time and the queue it
// ran on. A rights request with interaction allowed raises a dialog: `onPresent` runs after
// the scripted presentation delay and, unless the dialog is answered by the test first
// (`answer`), `onDismiss` runs after the scripted answer delay. Time in the tests is virtual
// and every queue runs on the test's thread, so the request cannot hold its thread while the
// dialog is up: it returns the scripted status at once and stays pending (`pending()`) until
// the dialog is answered or goes away.
class SimulatedAuthorization : public Authorization,
                               public std::enable_shared_from_this<SimulatedAuthorization> {
 public:
  static constexpr double kNever = std::numeric_limits<double>::infinity();

  struct Script {
    OSStatus createStatus = errAuthorizationSuccess;
    // Whether a successful creation hands out a reference.
    bool makesReference = true;
    OSStatus copyStatus = errAuthorizationCanceled;
    // Seconds from the request until the agent shows its dialog (kNever: it never does).
    double presentDelay = 0;
    // Seconds from the presentation until the dialog goes away by itself (kNever: it stays).
    double answerDelay = kNever;
  };

  enum class Kind { create, copyRights, free };
  struct Call {
    Kind kind;
    Reference reference;
    std::optional<ItemSet> rights;
    bool hasEnvironment = false;
    Flags flags = 0;
    double time = 0;
    std::string queue;  // the label of the queue it ran on ("" outside any queue)
    const void* queueIdentity = nullptr;  // that queue object (global queues share a label)
    bool onMainThread = false;
  };

  void setScript(Script script);
  // Run when the agent shows the dialog for a pending request, and when it takes it away.
  void setOnPresent(std::function<void()> hook);
  void setOnDismiss(std::function<void()> hook);
  // The user answers the pending request now (cancel, deny, approve): `onDismiss` runs.
  void answer(OSStatus status);

  OSStatus create(const ItemSet* rights, const ItemSet* environment, Flags flags, Reference* reference) override;
  OSStatus copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment, Flags flags,
                      ItemSet* granted) override;
  OSStatus free(Reference reference, Flags flags) override;

  std::vector<Call> calls() const;
  bool pending() const;
  bool presented() const;
  // The status the pending request ended with, once it ended.
  std::optional<OSStatus> outcome() const;
  // References not yet freed.
  std::size_t liveReferences() const;

 private:
  void record(Call call);
  void present(std::uint64_t request);
  void finish(std::uint64_t request, OSStatus status);

  mutable std::mutex mutex_;
  Script script_;
  std::function<void()> onPresent_;
  std::function<void()> onDismiss_;
  std::vector<Call> calls_;
  std::uint64_t nextReference_ = 1;
  std::vector<std::uint64_t> live_;
  std::uint64_t request_ = 0;  // the number of the latest request
  bool pending_ = false;
  bool presented_ = false;
  std::optional<OSStatus> outcome_;
};

}  // namespace platform::authorization
