// The simulated screens of the tests' machine.
#pragma once

#include <mutex>

#include "platform/screens/screens.hpp"

namespace platform::screens {

// A scriptable machine: screens are set by the test; `postParametersChanged()` delivers the
// notification to every observer on the main queue.
class SimulatedScreens : public Screens, public std::enable_shared_from_this<SimulatedScreens> {
 public:
  std::vector<Screen> screens() override;
  std::optional<Screen> mainScreen() override;
  bool displayIsBuiltin(std::uint32_t displayID) override;
  ObserverToken addParametersObserver(std::function<void()> callback) override;
  void removeObserver(ObserverToken token) override;

  void setScreens(std::vector<Screen> screens);
  // Index into `screens()` of the main screen (default 0).
  void setMainIndex(std::size_t index);
  void setBuiltinDisplays(std::vector<std::uint32_t> displayIDs);
  // Replaces one screen (matched by display number) and posts the notification when asked.
  void updateScreen(std::uint32_t displayID, const Screen& screen);
  void postParametersChanged();
  std::size_t observerCount() const;
  std::vector<std::uint32_t> builtinQueries() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Screen> screens_;
  std::size_t mainIndex_ = 0;
  std::vector<std::uint32_t> builtin_;
  std::vector<std::uint32_t> builtinQueries_;
  ObserverToken next_ = 1;
  std::map<ObserverToken, std::function<void()>> observers_;
};

}  // namespace platform::screens
