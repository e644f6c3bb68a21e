#include "platform/localauth/local_auth.hpp"

#include <utility>

#include "platform/dispatch/dispatch.hpp"

namespace platform::localauth {

namespace {

std::mutex& providerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Provider>& installedProvider() {
  static std::shared_ptr<Provider> provider;
  return provider;
}

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

class LinuxContext : public Context {
 public:
  bool canEvaluateDeviceOwnerAuthentication() override { return false; }
  void evaluateDeviceOwnerAuthentication(
      const std::string&, std::function<void(bool, std::optional<AuthError>)> reply) override {
    dispatch::globalQueue(dispatch::QoS::UserInitiated).async([reply = std::move(reply)] {
      reply(false, AuthError::notAvailable);
    });
  }
};

class LinuxProvider : public Provider {
 public:
  std::shared_ptr<Context> makeContext() override { return std::make_shared<LinuxContext>(); }
};

}  // namespace

std::shared_ptr<Context> makeContext() {
  std::shared_ptr<Provider> provider;
  {
    std::lock_guard lock(providerMutex());
    if (!installedProvider()) installedProvider() = makeLinuxProvider();
    provider = installedProvider();
  }
  return provider->makeContext();
}

void install(std::shared_ptr<Provider> provider) {
  std::lock_guard lock(providerMutex());
  installedProvider() = std::move(provider);
}

std::shared_ptr<Provider> makeLinuxProvider() { return std::make_shared<LinuxProvider>(); }

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
