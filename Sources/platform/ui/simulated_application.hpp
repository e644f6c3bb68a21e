// The tests' application object: records what is asked of it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/application.hpp"

namespace platform::ui {

// Records what the system's code asks of the application. A new one is `regular`, as the
// platform's application object is before anything sets its policy.
class SimulatedApplication : public Application {
 public:
  ActivationPolicy activationPolicy() const override;
  bool setActivationPolicy(ActivationPolicy policy) override;
  void activate(bool ignoringOtherApps) override;
  void terminate() override;
  int terminateCount() const;

  // What the user sees for the current policy.
  bool showsDockIcon() const;
  bool showsMenuBar() const;

  // Every policy request in order ("regular", "accessory", ...), taken or refused.
  std::vector<std::string> policyRequests() const;
  // "activate ignoringOtherApps=true", ... in order.
  std::vector<std::string> activations() const;
  // How many times the shared object was obtained.
  int obtainedCount() const;
  void noteObtained() override;

  // Fault injection: the next requests are refused (the policy stays as it is).
  void refusePolicyChanges(bool refuse);

  // The session's answer to a claim (`first` unless set), and what a later start does: it
  // reopens the claiming application through the main queue (a start before any claim is
  // answered as the claim succeeds, ahead of whatever the claimer queues next).
  InstanceClaim claimInstance(std::function<void()> reopen) override;
  void setClaimAnswer(InstanceClaim answer);
  int claimCount() const;
  void startAgain();
  bool hasVisibleWindows() const override;
  void setHasVisibleWindows(bool visible);

 private:
  mutable std::mutex mutex_;
  ActivationPolicy policy_ = ActivationPolicy::regular;
  std::vector<std::string> requests_;
  std::vector<std::string> activations_;
  int obtained_ = 0;
  int terminated_ = 0;
  bool refuse_ = false;
  InstanceClaim claimAnswer_ = InstanceClaim::first;
  int claims_ = 0;
  std::function<void()> reopen_;
  bool startedDuringClaim_ = false;
  bool visibleWindows_ = false;
};

}  // namespace platform::ui
