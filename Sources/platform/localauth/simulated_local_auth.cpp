#include "platform/localauth/simulated_local_auth.hpp"

#include <utility>

#include "platform/dispatch/dispatch.hpp"

namespace platform::localauth {

namespace {

class SimulatedContext : public Context {
 public:
  explicit SimulatedContext(std::shared_ptr<SimulatedLocalAuthentication> owner)
      : owner_(std::move(owner)) {}
  bool canEvaluateDeviceOwnerAuthentication() override { return owner_->available(); }
  void evaluateDeviceOwnerAuthentication(
      const std::string& reason, std::function<void(bool, std::optional<AuthError>)> reply) override {
    owner_->evaluate(reason, std::move(reply));
  }

 private:
  std::shared_ptr<SimulatedLocalAuthentication> owner_;
};

}  // namespace

std::shared_ptr<Context> SimulatedLocalAuthentication::makeContext() {
  return std::make_shared<SimulatedContext>(shared_from_this());
}

void SimulatedLocalAuthentication::setAvailable(bool available) {
  std::lock_guard lock(mutex_);
  available_ = available;
}

void SimulatedLocalAuthentication::setOutcome(std::optional<AuthError> error) {
  std::lock_guard lock(mutex_);
  outcome_ = error;
}

std::vector<std::string> SimulatedLocalAuthentication::reasons() const {
  std::lock_guard lock(mutex_);
  return reasons_;
}

int SimulatedLocalAuthentication::availabilityQueries() const {
  std::lock_guard lock(mutex_);
  return queries_;
}

bool SimulatedLocalAuthentication::available() {
  std::lock_guard lock(mutex_);
  ++queries_;
  return available_;
}

void SimulatedLocalAuthentication::evaluate(
    const std::string& reason, std::function<void(bool, std::optional<AuthError>)> reply) {
  std::optional<AuthError> outcome;
  {
    std::lock_guard lock(mutex_);
    reasons_.push_back(reason);
    outcome = available_ ? outcome_ : std::optional<AuthError>(AuthError::notAvailable);
  }
  dispatch::globalQueue(dispatch::QoS::UserInitiated).async([reply = std::move(reply), outcome] {
    reply(!outcome.has_value(), outcome);
  });
}

}  // namespace platform::localauth
