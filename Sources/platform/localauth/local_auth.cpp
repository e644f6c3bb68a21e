#include "platform/localauth/local_auth.hpp"

#include <mutex>

#include "platform/localauth/local_auth_linux.hpp"

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

}  // namespace platform::localauth
