// The simulated window list of the tests' machine.
#pragma once

#include <mutex>

#include "platform/windowserver/window_list.hpp"

namespace platform::windowserver {

// Derives a window's bounds from its panel's frame and the installed screens (what a
// well-behaved server reports), unless the test scripts other bounds or a failure.
class SimulatedWindowList : public WindowList {
 public:
  enum class Failure { none, noList, noEntry, noBounds, badBounds };

  std::optional<std::vector<WindowInfo>> copyWindowInfo(std::uint32_t option,
                                                        std::uint32_t window) override;
  Rect displayBounds(std::uint32_t display) override;

  void setBounds(std::uint32_t window, const Rect& bounds);
  void clearBounds(std::uint32_t window);
  void setFailure(Failure failure);
  int queryCount() const;
  std::vector<std::uint32_t> lastOptions() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, Rect> scripted_;
  Failure failure_ = Failure::none;
  int queries_ = 0;
  std::vector<std::uint32_t> options_;
};

}  // namespace platform::windowserver
