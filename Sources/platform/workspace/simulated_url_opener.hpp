// The simulated address opener of the tests' machine.
#pragma once

#include <mutex>
#include <vector>

#include "platform/workspace/url_opener.hpp"

namespace platform::workspace {

// Records every address; answers as scripted (true by default).
class SimulatedURLOpener : public URLOpener {
 public:
  bool open(const std::string& url) override;
  void setOpens(bool opens);
  std::vector<std::string> opened() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> opened_;
  bool opens_ = true;
};

}  // namespace platform::workspace
