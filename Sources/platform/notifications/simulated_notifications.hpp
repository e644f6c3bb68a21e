// The simulated notification centre of the tests' machine.
#pragma once

#include <mutex>
#include <vector>

#include "platform/notifications/notifications.hpp"

namespace platform::notifications {

// The tests' centre: also remembers every posted name.
class SimulatedNotificationCenter : public InProcessNotificationCenter {
 public:
  void post(const std::string& name) override;
  std::vector<std::string> posted() const;

 private:
  mutable std::mutex historyMutex_;
  std::vector<std::string> posted_;
};

}  // namespace platform::notifications
