// Which roads above the lock screen the program knows, and how the running session's road is
// chosen among them.
#include <algorithm>
#include <sstream>

#include "platform/windowserver/lock_screen_road.hpp"
#include "platform/windowserver/lock_screen_road_gnome.hpp"
#include "platform/windowserver/lock_screen_road_kde.hpp"

namespace platform::windowserver {

std::vector<LockScreenRoadFactory> knownLockScreenRoads() {
  return {
      {{"KDE"}, [] { return makeKdeLockScreenRoad(); }},
      {{"GNOME"}, [] { return makeGnomeLockScreenRoad(); }},
  };
}

std::unique_ptr<LockScreenRoad> openLockScreenRoad(const std::vector<LockScreenRoadFactory>& roads,
                                                   const std::string& currentDesktop,
                                                   std::string* whyNot) {
  std::vector<std::string> desktops;
  std::istringstream names(currentDesktop);
  for (std::string name; std::getline(names, name, ':');) {
    if (!name.empty()) desktops.push_back(name);
  }
  // The session's own desktops first, in the order it lists them; the rest keep their order.
  auto rank = [&](const LockScreenRoadFactory& road) {
    std::size_t best = desktops.size();
    for (const auto& desktop : road.desktops) {
      const auto it = std::find(desktops.begin(), desktops.end(), desktop);
      best = std::min(best, static_cast<std::size_t>(it - desktops.begin()));
    }
    return best;
  };
  std::vector<const LockScreenRoadFactory*> order;
  for (const auto& road : roads) order.push_back(&road);
  std::stable_sort(order.begin(), order.end(),
                   [&](const auto* a, const auto* b) { return rank(*a) < rank(*b); });

  std::string reasons;
  for (const auto* factory : order) {
    auto road = factory->make ? factory->make() : nullptr;
    if (!road) continue;
    std::string why;
    if (road->open(&why)) return road;
    reasons += (reasons.empty() ? "" : "; ") + road->name() + ": " + why;
  }
  if (whyNot) *whyNot = reasons.empty() ? "no road is known for this desktop" : reasons;
  return nullptr;
}

}  // namespace platform::windowserver
