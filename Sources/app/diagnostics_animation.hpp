// The switches for looking at the lock-screen notch panel without locking the screen:
// "--render-animation <out.png> [notch width] [notch height] [canvas width] [canvas height]
// [--palm]" renders the fully opened panel off screen into a PNG file, and
// "--preview-animation" plays the overlay's scanning presentation for 10 seconds.
//
// `args` is the process's whole argument list. Each returns the process's exit status.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorvel::diagnostics {

inline constexpr const char* kRenderAnimationSwitch = "--render-animation";
inline constexpr const char* kPreviewAnimationSwitch = "--preview-animation";
inline constexpr const char* kPalmModifier = "--palm";

// The whole of `text` as a decimal floating-point number: an optional sign, digits with an
// optional fraction and exponent, "inf", "infinity", "nan" or a "0x" hexadecimal number. No
// value for anything else (leading or trailing spaces included).
std::optional<double> parseNumber(const std::string& text);

// What "--render-animation" reads from the arguments.
struct RenderRequest {
  std::string outputPath;
  double notchWidth = 220;
  double notchHeight = 38;
  double canvasWidth = 320;
  double canvasHeight = 200;
  bool palm = false;
};

// True when the switch is present with at least one argument after its first occurrence
// (without one it is not a switch at all).
bool renderAnimationRequested(const std::vector<std::string>& args);
// The request of the first occurrence of the switch; no value when it is not requested.
std::optional<RenderRequest> renderRequest(const std::vector<std::string>& args);

// Renders and writes the PNG. Call only when `renderAnimationRequested(args)`; otherwise it
// prints nothing and answers 1.
int runRenderAnimation(const std::vector<std::string>& args, std::ostream& out);

// Schedules the scanning presentation, the placement line at 1.2 s and the end at 10 s, and
// runs the application's run loop; answers 0 when the 10 s have passed.
int runPreviewAnimation(const std::vector<std::string>& args, std::ostream& out);

}  // namespace quorvel::diagnostics
