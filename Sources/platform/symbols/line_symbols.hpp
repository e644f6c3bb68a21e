// The line-art symbols of our symbol set (rows of menus and lists): each is drawn on a
// 100-unit box (x 0...100, y 0...100, y down) as strokes and returned as a fillable outline.
#pragma once

#include <optional>
#include <string>
#include <vector>

class QPainterPath;

namespace platform::symbols {

// The outline of the named symbol on the 100-unit box, or absent for a name not drawn here.
std::optional<QPainterPath> lineSymbolUnitPath(const std::string& name);
std::vector<std::string> lineSymbolNames();

}  // namespace platform::symbols
