#include "platform/ui/simulated_status_bar.hpp"

namespace platform::ui {

std::shared_ptr<StatusItem> SimulatedStatusBar::makeStatusItem() {
  auto item = std::make_shared<StatusItem>();
  if (!noButtons_) item->button = std::make_shared<StatusButton>();
  items_.push_back(item);
  return item;
}

std::shared_ptr<Popover> SimulatedStatusBar::makePopover() {
  auto popover = std::make_shared<Popover>();
  popover->windowCollectionBehavior = windows::collection_behavior::stationary;
  popovers_.push_back(popover);
  return popover;
}

void SimulatedStatusBar::addGlobalMouseMonitor(std::uint64_t mask, std::function<void()> handler) {
  monitors_.emplace_back(mask, std::move(handler));
}

std::optional<SymbolImage> SimulatedStatusBar::systemSymbol(const std::string& name,
                                                            const std::string& description) {
  if (noSymbols_) return std::nullopt;
  return SymbolImage{name, description, false};
}

void SimulatedStatusBar::clickInOtherApplication(std::uint64_t mask) {
  const auto monitors = monitors_;
  for (const auto& [watched, handler] : monitors) {
    if ((watched & mask) != 0 && handler) handler();
  }
}

std::vector<std::uint64_t> SimulatedStatusBar::monitorMasks() const {
  std::vector<std::uint64_t> masks;
  for (const auto& [mask, handler] : monitors_) masks.push_back(mask);
  return masks;
}

}  // namespace platform::ui
