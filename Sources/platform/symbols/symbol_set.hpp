// A small set of the system's symbol images of our own, drawn as vector paths. A symbol is
// laid out for a font size: its path is centred on the origin and about as tall as the
// size (y grows downward). Filled symbols ("….fill") are meant to be filled.
#pragma once

#include <optional>
#include <string>
#include <vector>


class QPainterPath;

namespace platform::symbols {

// The path of the named symbol at `pointSize`, or absent for a name the set does not have.
std::optional<QPainterPath> symbolPath(const std::string& name, double pointSize);
std::vector<std::string> availableSymbols();

}  // namespace platform::symbols
