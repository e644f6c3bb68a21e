// Process-wide instances created on first use. Tests drop them all between cases through
// `resetSharedInstances()`, so each case starts from freshly created services.
//
// A process-wide instance lives until the process ends: at exit it is not destroyed, so no
// destructor of one ever runs after another instance, a platform service or a queue it
// touches has gone (the order in which static objects are destroyed is the reverse of the
// order in which their construction finished, which first use decides).
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace platform {

void registerSharedReset(std::function<void()> reset);
void resetSharedInstances();

// Holds one instance of T, made by `make` on first use. The holder itself is trivially
// destructible: its state is never freed, so it works until the very end of the process.
template <class T>
class SharedInstance {
 public:
  using Factory = std::function<std::shared_ptr<T>()>;
  explicit SharedInstance(Factory make = [] { return std::make_shared<T>(); })
      : state_(new State{std::move(make), {}, {}, false}) {}

  std::shared_ptr<T> pointer() {
    std::shared_ptr<T> made;
    {
      std::lock_guard<std::recursive_mutex> lock(state_->mutex);
      if (state_->instance) return state_->instance;
      if (!state_->registered) {
        state_->registered = true;
        registerSharedReset([state = state_] { reset(*state); });
      }
      // Made under the lock so that two first users get the same instance.
      state_->instance = state_->make();
      made = state_->instance;
    }
    return made;
  }
  T& get() { return *pointer(); }

  void reset() { reset(*state_); }

 private:
  struct State {
    Factory make;
    std::recursive_mutex mutex;
    std::shared_ptr<T> instance;
    bool registered;
  };
  static void reset(State& state) {
    std::shared_ptr<T> old;
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    old.swap(state.instance);
  }

  State* state_;
};

}  // namespace platform
