// The simulated authorization services of the tests' machine.
#pragma once

#include <functional>
#include <limits>
#include <mutex>

#include "platform/authorization/authorization.hpp"

namespace platform::authorization {

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
