// The picture of the enrolment scan: the mirrored camera image in a circle, a thin ring that
// turns green once the centre sample is taken, twelve ticks around it that light up as the
// head turns towards them and stay lit as their samples are captured, and, once the
// enrolment is stored, a check mark drawn over the faded image.
//
// The view reads only the model's published fields (their values as presented at the time
// of drawing) and `EnrolmentModel::tickEmphasis`; it changes nothing. The check mark's draw-on
// and growth are timed from the moment `finished` turned true.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "onboarding/enrolment_model.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/windows/windows.hpp"

// Qt types are only declared here: Qt's headers define keyword macros (emit, ...) that must
// not reach code including this header before the log.
class QImage;
class QPainter;
class QPainterPath;
class QRectF;

namespace quorvel {

class FaceScanView : public platform::windows::View {
 public:
  static constexpr double defaultDiameter = 132;

  explicit FaceScanView(std::shared_ptr<EnrolmentModel> model, double diameter = defaultDiameter);
  ~FaceScanView() override;
  FaceScanView(const FaceScanView&) = delete;
  FaceScanView& operator=(const FaceScanView&) = delete;

  const std::shared_ptr<EnrolmentModel>& model() const { return model_; }
  double diameter() const { return diameter_; }
  // The side of the square the view needs: the circle and the longest tick on every side.
  static double frameSide(double diameter);

  // Called whenever the model announces a change (the host redraws).
  std::function<void()> onNeedsDisplay;

  struct TickLayout {
    int index = 0;
    int passes = 0;
    double emphasis = 0;  // only while no sample is captured for the tick
    double opacity = 0;   // of quorvelGreen
    double length = 0;
    double width = 3;
    double rotation = 0;  // degrees clockwise from the top
    platform::Point centre;  // the capsule's centre after the turn (y down)
  };
  struct CheckLayout {
    double size = 0;
    platform::Rect frame;  // size x size, centred
    double drawn = 0;      // 0...1 of the path
    double scale = 0;      // about the frame's centre
    double lineWidth = 0;
    double opacity = 0;
  };
  // What is drawn in `bounds` at `time` (y down).
  struct Structure {
    platform::Rect frame;   // the square of frameSide(D), centred in the bounds
    platform::Rect circle;  // D x D, centred
    std::array<TickLayout, EnrolmentModel::tickCount> ticks;
    double discOpacity = 0.06;  // white
    bool showsPreview = false;
    double previewOpacity = 0;
    bool ringGreen = false;
    double ringOpacity = 0;
    double ringWidth = 2;
    std::optional<CheckLayout> check;
  };
  Structure structure(const platform::Rect& bounds, double time) const;
  Structure structure(const platform::Rect& bounds) const;

  void draw(QPainter& painter, const platform::Rect& bounds) override;
  // The view drawn into a transparent image of frameSide(D) points square at `scale`.
  QImage render(double scale);

  // The check mark for a rectangle: from its top-left corner (y down), by its shorter side.
  static QPainterPath centredCheck(const QRectF& rect);

 private:
  TickLayout tick(int index, const platform::Point& centre, double time) const;

  std::shared_ptr<EnrolmentModel> model_;
  double diameter_;
  platform::animation::ObservableObject::Token subscription_ = 0;
  // When `finished` last turned from false to true (setting it true again changes nothing).
  double checkShownAt_ = 0;
};

}  // namespace quorvel
