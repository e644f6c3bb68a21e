#include "platform/workspace/simulated_url_opener.hpp"

namespace platform::workspace {

bool SimulatedURLOpener::open(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_.push_back(url);
  return opens_;
}

void SimulatedURLOpener::setOpens(bool opens) {
  std::lock_guard<std::mutex> lock(mutex_);
  opens_ = opens;
}

std::vector<std::string> SimulatedURLOpener::opened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_;
}

}  // namespace platform::workspace
