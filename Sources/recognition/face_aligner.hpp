// Five-point alignment: a face brought into the engine's canonical pose and square.
//
// Every point here is in pixels of the camera frame with the origin at the bottom-left corner
// and y up (the image plane of platform/image), as are the engines' templates.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "foundation/recognition_engine.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/vision/face_landmarks.hpp"

namespace quorvel {

// Closed-form least-squares similarity (rotation, uniform scale, translation; no reflection).
namespace SimilarityTransform {
// The transform that maps the five `from` points best onto the five `to` points; no value
// unless both lists hold exactly five points and the source points are not all in one place.
std::optional<platform::AffineTransform> estimate(const std::vector<platform::Point>& from,
                                                  const std::vector<platform::Point>& to);
}  // namespace SimilarityTransform

class FaceAligner {
 public:
  FaceAligner();
  static FaceAligner& shared();

  // The one rendering context of the recognition road (high-quality downsampling); created
  // once, then only read.
  const std::shared_ptr<platform::image::Context>& ciContext() const { return ciContext_; }

  // The arcface template and its side (the self-test's reference).
  static const std::vector<platform::Point>& templatePoints();
  static double templateSide();

  // The frame moved by the similarity from the face's five points to `spec`'s template,
  // cropped to the template's square (0, 0, side, side), black where the square reaches past
  // the frame, and passed through colour controls
  // (brightness 0.05, contrast 1.1). A recipe: nothing is rendered here. No value when the
  // five points cannot be found or are degenerate.
  std::optional<platform::image::Image> alignedFace(
      const std::shared_ptr<platform::image::PixelBuffer>& frame,
      const platform::vision::FaceObservation& observation, const FaceEngineSpec& spec) const;

  // The largest centred square of the frame, moved so that its extent starts at (0, 0).
  std::optional<platform::image::Image> wideSquare(
      const std::shared_ptr<platform::image::PixelBuffer>& frame) const;

  // The five points in frame pixels, in the template's order: the eye with the smaller x,
  // the other eye, the nose, the mouth corner with the smaller x, the other one. No value
  // when the landmarks or one of the regions (left eye, right eye, nose, outer lips) is
  // missing or empty. Public for the diagnostics and tests; the aligner's own first step.
  static std::optional<std::array<platform::Point, 5>> fiveLandmarks(
      const platform::vision::FaceObservation& observation, double width, double height);

 private:
  std::shared_ptr<platform::image::Context> ciContext_;
};

}  // namespace quorvel
