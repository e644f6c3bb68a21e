// Draws the notch panel of a face-unlock attempt from an `UnlockAnimationModel`: a black shape
// growing out of the camera housing, holding the scanned face glyph, the tick on success,
// the palm on cancel and a line of text on failure. It does no timing of its own: every value
// is the model's presented value at the time of drawing.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "overlay/notch_geometry.hpp"
#include "overlay/unlock_animation_model.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/windows/windows.hpp"

// Qt types are only declared here: Qt's headers define keyword macros (emit, ...) that must
// not reach code including this header before the log.
class QImage;
class QPainter;

namespace quorvel {

class UnlockAnimationView : public platform::windows::View {
 public:
  UnlockAnimationView(std::shared_ptr<UnlockAnimationModel> model, NotchGeometry notch);

  const std::shared_ptr<UnlockAnimationModel>& model() const { return model_; }
  const NotchGeometry& notch() const { return notch_; }

  const double glyphSide = 52;
  const double bottomInset = 8;
  const double notchGap = 4;
  const double filletRadius = 14;

  // Where things are drawn in `bounds` at the current time (for tests and hosts).
  struct Layout {
    platform::Size openSize;
    platform::Rect frame;  // the panel's frame, hanging from the top edge, centred (y down)
    platform::Rect glyph;  // the glyph square before the shake offset
    std::optional<platform::Rect> message;
  };
  platform::Size currentOpenSize() const;
  Layout layout(const platform::Rect& bounds) const;

  void draw(QPainter& painter, const platform::Rect& bounds) override;

  // The view drawn into a transparent image of `canvas` points at `scale`.
  QImage render(platform::Size canvas, double scale);

 private:
  void drawContents(QPainter& painter, const Layout& layout);
  void drawGlyphStack(QPainter& painter, const platform::Rect& glyph);
  void drawFaceGroup(QPainter& painter, const platform::Rect& glyph, double opacity);
  void drawSweep(QPainter& painter, const platform::Rect& glyph, double opacity);
  void drawPalm(QPainter& painter, const platform::Rect& glyph, double opacity);
  void drawMessage(QPainter& painter, const platform::Rect& rect, const std::string& text,
                   double opacity);

  std::shared_ptr<UnlockAnimationModel> model_;
  NotchGeometry notch_;
};

}  // namespace quorvel
