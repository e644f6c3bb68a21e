// Process-wide instances created on first use. Tests drop them all between cases through
// `resetSharedInstances()`, so each case starts from freshly created services.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace platform {

void registerSharedReset(std::function<void()> reset);
void resetSharedInstances();

// Holds one instance of T, made by `make` on first use.
template <class T>
class SharedInstance {
 public:
  using Factory = std::function<std::shared_ptr<T>()>;
  explicit SharedInstance(Factory make = [] { return std::make_shared<T>(); })
      : make_(std::move(make)) {}

  std::shared_ptr<T> pointer() {
    std::shared_ptr<T> made;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      if (instance_) return instance_;
      if (!registered_) {
        registered_ = true;
        registerSharedReset([this] { reset(); });
      }
      // Made under the lock so that two first users get the same instance.
      instance_ = make_();
      made = instance_;
    }
    return made;
  }
  T& get() { return *pointer(); }

  void reset() {
    std::shared_ptr<T> old;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    old.swap(instance_);
  }

 private:
  Factory make_;
  std::recursive_mutex mutex_;
  std::shared_ptr<T> instance_;
  bool registered_ = false;
};

}  // namespace platform
