#include "platform/ui/simulated_application.hpp"

#include <utility>

#include "platform/dispatch/dispatch.hpp"

namespace platform::ui {

ActivationPolicy SimulatedApplication::activationPolicy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

bool SimulatedApplication::setActivationPolicy(ActivationPolicy policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(toString(policy));
  if (refuse_) return false;
  policy_ = policy;
  return true;
}

void SimulatedApplication::activate(bool ignoringOtherApps) {
  std::lock_guard<std::mutex> lock(mutex_);
  activations_.push_back(std::string("activate ignoringOtherApps=") +
                         (ignoringOtherApps ? "true" : "false"));
}

void SimulatedApplication::terminate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++terminated_;
  }
  platform::dispatch::stopMainLoop(0);
}

int SimulatedApplication::terminateCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return terminated_;
}

bool SimulatedApplication::showsDockIcon() const {
  return activationPolicy() == ActivationPolicy::regular;
}

bool SimulatedApplication::showsMenuBar() const {
  return activationPolicy() == ActivationPolicy::regular;
}

std::vector<std::string> SimulatedApplication::policyRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> SimulatedApplication::activations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return activations_;
}

int SimulatedApplication::obtainedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return obtained_;
}

void SimulatedApplication::noteObtained() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++obtained_;
}

void SimulatedApplication::refusePolicyChanges(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_ = refuse;
}

InstanceClaim SimulatedApplication::claimInstance(std::function<void()> reopen) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++claims_;
  if (claimAnswer_ == InstanceClaim::handedOver) return claimAnswer_;
  reopen_ = std::move(reopen);
  if (std::exchange(startedDuringClaim_, false)) platform::dispatch::mainQueue().async(reopen_);
  return claimAnswer_;
}

void SimulatedApplication::setClaimAnswer(InstanceClaim answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  claimAnswer_ = answer;
}

int SimulatedApplication::claimCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return claims_;
}

void SimulatedApplication::startAgain() {
  std::function<void()> reopen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reopen = reopen_;
    if (!reopen) startedDuringClaim_ = true;
  }
  if (reopen) platform::dispatch::mainQueue().async(std::move(reopen));
}

bool SimulatedApplication::hasVisibleWindows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return visibleWindows_;
}

void SimulatedApplication::setHasVisibleWindows(bool visible) {
  std::lock_guard<std::mutex> lock(mutex_);
  visibleWindows_ = visible;
}

}  // namespace platform::ui
