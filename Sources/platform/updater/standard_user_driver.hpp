// The framework's standard interface: modal alerts that answer a check the user asked for
// (up to date; a newer version with its notes and where its verified archive is; the
// failure's reason). It never installs anything: the user takes the verified archive from
// its folder or goes to the release page.
#pragma once

#include <string>

#include "platform/updater/updater.hpp"

namespace platform::updater {

// Release notes longer than this many bytes or lines are cut with "…" in the alert.
inline constexpr std::size_t kMaximumNotesBytes = 1200;
inline constexpr std::size_t kMaximumNotesLines = 16;

class StandardUserDriver : public UserDriver {
 public:
  using UserDriver::UserDriver;

  void showUpdateFound(const FoundUpdate& update) override;
  void showUpdateNotFound(const Error& error) override;
  void showUpdaterError(const Error& error) override;
  void showCannotStart(const Error& error) override;
};

// `notes` cut to the alert's limits.
std::string shortenedNotes(const std::string& notes);

}  // namespace platform::updater
