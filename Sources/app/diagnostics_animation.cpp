#include "app/diagnostics_animation.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

#include "app/diagnostics_text.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "overlay/notch_geometry.hpp"
#include "overlay/unlock_animation_model.hpp"
#include "overlay/unlock_animation_view.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/files/files.hpp"
#include "platform/ui/application.hpp"
#include "platform/ui/image_renderer.hpp"

namespace quorvel::diagnostics {

std::optional<double> parseNumber(const std::string& text) {
  std::string_view rest(text);
  bool negative = false;
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  // A second sign, or a space anywhere, makes it not a number.
  if (rest.empty() || rest.front() == '+' || rest.front() == '-') return std::nullopt;
  auto format = std::chars_format::general;
  if (rest.size() > 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    rest.remove_prefix(2);
    if (rest.front() == '+' || rest.front() == '-') return std::nullopt;
    format = std::chars_format::hex;
  }
  double value = 0;
  const auto result = std::from_chars(rest.data(), rest.data() + rest.size(), value, format);
  if (result.ec == std::errc::result_out_of_range) {
    // Overflow reads as infinity and underflow as zero, as the platform's parser does.
    value = std::fabs(value) > 1 ? HUGE_VAL : 0.0;
    if (result.ptr != rest.data() + rest.size()) return std::nullopt;
    return negative ? -value : value;
  }
  if (result.ec != std::errc() || result.ptr != rest.data() + rest.size()) return std::nullopt;
  return negative ? -value : value;
}

bool renderAnimationRequested(const std::vector<std::string>& args) {
  const auto found = std::find(args.begin(), args.end(), kRenderAnimationSwitch);
  return found != args.end() && found + 1 != args.end();
}

std::optional<RenderRequest> renderRequest(const std::vector<std::string>& args) {
  const auto found = std::find(args.begin(), args.end(), kRenderAnimationSwitch);
  if (found == args.end() || found + 1 == args.end()) return std::nullopt;
  RenderRequest request;
  request.outputPath = *(found + 1);
  std::vector<double> numbers;
  for (auto it = found + 2; it != args.end(); ++it) {
    if (const auto number = parseNumber(*it)) numbers.push_back(*number);
  }
  double* fields[] = {&request.notchWidth, &request.notchHeight, &request.canvasWidth,
                      &request.canvasHeight};
  for (std::size_t i = 0; i < numbers.size() && i < 4; ++i) *fields[i] = numbers[i];
  request.palm = std::find(args.begin(), args.end(), kPalmModifier) != args.end();
  return request;
}

int runRenderAnimation(const std::vector<std::string>& args, std::ostream& out) {
  const std::optional<RenderRequest> request = renderRequest(args);
  if (!request) return 1;
  const NotchGeometry notch(request->notchWidth, request->notchHeight, true);
  platform::ui::shared();

  const auto model = UnlockAnimationModel::make();
  model->panelProgress = 1.0;
  model->contentVisible = true;
  model->faceOpacity = 1.0;
  model->illumination = 1.0;
  if (request->palm) {
    model->glyph = UnlockAnimationModel::Glyph::palm;
    model->drained = true;
    model->message = std::optional<std::string>("Cancelled");
  }

  std::optional<std::vector<std::uint8_t>> png;
  // A notch that is not a finite size has no shape to draw.
  if (std::isfinite(notch.width) && std::isfinite(notch.height)) {
    platform::ui::ImageRenderer renderer(std::make_shared<UnlockAnimationView>(model, notch),
                                         platform::Size{request->canvasWidth,
                                                        request->canvasHeight});
    renderer.scale = 2.0;
    png = renderer.pngData();
  }
  if (!png) {
    out << "FAILED: could not render the panel" << std::endl;
    return 1;
  }
  if (const auto error = platform::files::writeFile(request->outputPath, *png)) {
    out << "FAILED: " << *error << std::endl;
    return 1;
  }
  out << "Rendered notch " << description(notch.width) << "x" << description(notch.height)
      << " into a 320x200 canvas: " << request->outputPath << std::endl;
  return 0;
}

int runPreviewAnimation(const std::vector<std::string>& /*args*/, std::ostream& out) {
  const std::shared_ptr<platform::ui::Application> application = platform::ui::shared();
  application->setActivationPolicy(platform::ui::ActivationPolicy::accessory);
  auto& main = platform::dispatch::mainQueue();
  main.async([] { LockScreenOverlay::shared().beginScanning(); });
  std::ostream* stream = &out;
  main.asyncAfter(1.2, [stream] {
    *stream << LockScreenOverlay::shared().lastPlacement() << std::endl;
  });
  main.asyncAfter(10, [] { platform::dispatch::stopMainLoop(0); });
  return application->run();
}

}  // namespace quorvel::diagnostics
