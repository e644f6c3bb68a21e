#include "platform/authorization/simulated_authorization.hpp"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch.hpp"

namespace platform::authorization {

void SimulatedAuthorization::setScript(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = script;
}

void SimulatedAuthorization::setOnPresent(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  onPresent_ = std::move(hook);
}

void SimulatedAuthorization::setOnDismiss(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  onDismiss_ = std::move(hook);
}

void SimulatedAuthorization::record(Call call) {
  call.time = dispatch::now();
  const dispatch::Queue* queue = dispatch::detail::currentQueue();
  call.queue = queue ? queue->label() : std::string();
  call.queueIdentity = queue;
  call.onMainThread = dispatch::isMainThread();
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(std::move(call));
}

OSStatus SimulatedAuthorization::create(const ItemSet* rights, const ItemSet* environment, Flags flags,
                                        Reference* reference) {
  Reference made;
  OSStatus status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status = script_.createStatus;
    if (status == errAuthorizationSuccess && script_.makesReference) {
      made = Reference{nextReference_++};
      live_.push_back(made.value);
    }
  }
  if (reference) *reference = made;
  record(Call{Kind::create, made, rights ? std::optional<ItemSet>(*rights) : std::nullopt, environment != nullptr,
              flags, 0, {}, nullptr, false});
  return status;
}

OSStatus SimulatedAuthorization::copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment,
                                            Flags flags, ItemSet* granted) {
  record(Call{Kind::copyRights, reference, rights, environment != nullptr, flags, 0, {}, nullptr, false});
  if (granted) granted->clear();
  std::uint64_t request = 0;
  Script script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(live_.begin(), live_.end(), reference.value) == live_.end()) return errAuthorizationInvalidRef;
    if ((flags & kAuthorizationFlagInteractionAllowed) == 0) return errAuthorizationInteractionNotAllowed;
    request = ++request_;
    pending_ = true;
    presented_ = false;
    outcome_.reset();
    script = script_;
  }
  if (std::isfinite(script.presentDelay)) {
    const std::weak_ptr<SimulatedAuthorization> weak = weak_from_this();
    dispatch::mainQueue().asyncAfter(script.presentDelay, [weak, request, script] {
      const auto self = weak.lock();
      if (!self) return;
      self->present(request);
      if (std::isfinite(script.answerDelay)) {
        dispatch::mainQueue().asyncAfter(script.answerDelay, [weak, request, script] {
          if (const auto alive = weak.lock()) alive->finish(request, script.copyStatus);
        });
      }
    });
  }
  if (script.copyStatus == errAuthorizationSuccess && granted) *granted = rights;
  return script.copyStatus;
}

void SimulatedAuthorization::present(std::uint64_t request) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request != request_ || !pending_) return;
    presented_ = true;
    hook = onPresent_;
  }
  if (hook) hook();
}

void SimulatedAuthorization::finish(std::uint64_t request, OSStatus status) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request != request_ || !pending_) return;
    pending_ = false;
    outcome_ = status;
    if (presented_) hook = onDismiss_;
  }
  if (hook) hook();
}

void SimulatedAuthorization::answer(OSStatus status) {
  std::uint64_t request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request = request_;
  }
  finish(request, status);
}

OSStatus SimulatedAuthorization::free(Reference reference, Flags flags) {
  record(Call{Kind::free, reference, std::nullopt, false, flags, 0, {}, nullptr, false});
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = std::find(live_.begin(), live_.end(), reference.value);
  if (found == live_.end()) return errAuthorizationInvalidRef;
  live_.erase(found);
  return errAuthorizationSuccess;
}

std::vector<SimulatedAuthorization::Call> SimulatedAuthorization::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

bool SimulatedAuthorization::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

bool SimulatedAuthorization::presented() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presented_;
}

std::optional<OSStatus> SimulatedAuthorization::outcome() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outcome_;
}

std::size_t SimulatedAuthorization::liveReferences() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_.size();
}

}  // namespace platform::authorization
