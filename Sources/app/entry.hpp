#pragma once
// The executable's entry: picks, from the argument list alone, either one diagnostic switch
// or the menu-bar application.
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorvel {

// The diagnostic switches in the order they are tested; the first present one wins.
const std::vector<std::string>& entrySwitches();

// The switch that runs for this argument list, or nothing when the application starts.
// "--render-animation" counts only when an argument follows its first occurrence.
std::optional<std::string> selectedSwitch(const std::vector<std::string>& args);

// Runs the selected switch's body and answers its exit status; nothing when no switch is
// present (the caller then starts the application).
std::optional<int> runSwitch(const std::vector<std::string>& args, std::ostream& out);

// The whole entry: a switch's exit status, or the application's run.
int runEntry(const std::vector<std::string>& args, std::ostream& out);

// Replaces the application start used by runEntry (tests); an empty function restores it.
void setApplicationStartForTesting(std::function<int()> start);

}  // namespace quorvel
