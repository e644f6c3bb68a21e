// The tests' status bar: records items, popovers and monitors, and lets a test click.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/status_bar.hpp"

namespace platform::ui {

class SimulatedStatusBar : public StatusBar {
 public:
  std::shared_ptr<StatusItem> makeStatusItem() override;
  std::shared_ptr<Popover> makePopover() override;
  void addGlobalMouseMonitor(std::uint64_t mask, std::function<void()> handler) override;
  std::optional<SymbolImage> systemSymbol(const std::string& name,
                                          const std::string& accessibilityDescription) override;

  // Fault injection: status items come without a button; symbols are missing.
  void withoutButtons(bool on) { noButtons_ = on; }
  void withoutSymbols(bool on) { noSymbols_ = on; }
  // A click of the given kind in another application.
  void clickInOtherApplication(std::uint64_t mask);

  const std::vector<std::shared_ptr<StatusItem>>& items() const { return items_; }
  const std::vector<std::shared_ptr<Popover>>& popovers() const { return popovers_; }
  std::vector<std::uint64_t> monitorMasks() const;

 private:
  bool noButtons_ = false;
  bool noSymbols_ = false;
  std::vector<std::shared_ptr<StatusItem>> items_;
  std::vector<std::shared_ptr<Popover>> popovers_;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> monitors_;
};

}  // namespace platform::ui
