// The open-hand test: whether a camera frame shows an open hand held up to the camera (the
// user's "do not unlock now"). Stateless; safe from any thread.
#pragma once

#include <optional>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/vision/hand_pose.hpp"

namespace quorvel {

struct PalmDetector {
  PalmDetector() = delete;

  // A hand in normalised image coordinates (0 to 1, origin at the bottom left): the wrist,
  // the fingertips that were kept and, at the same index, the joint below each tip.
  struct Hand {
    platform::Point wrist;
    std::vector<platform::Point> tips;
    std::vector<platform::Point> joints;
  };

  // A finger is extended when its tip is at least this many times as far from the wrist as
  // its joint.
  static constexpr double extensionRatio = 1.18;
  // Extended fingers that make an open hand.
  static constexpr int fingersForOpenHand = 4;
  // Least distance from the wrist to the farthest kept tip, in normalised units.
  static constexpr double minimumReach = 0.12;

  // Runs hand-pose detection for one hand on `frame`; true when that hand is large enough
  // and open. A failed request is logged and answered false.
  static bool openHandPresent(const platform::vision::HandPoseFrame& frame);
  // The same test on a camera frame, reading its BGRA bytes while the buffer is locked; a
  // frame without readable bytes is passed on empty and answered as any unreadable frame.
  static bool openHandPresent(platform::image::PixelBuffer& frame);

  // The wrist and the fingers seen with enough confidence, or no value when the wrist is
  // doubtful or fewer than four fingers were seen.
  static std::optional<Hand> landmarks(const platform::vision::HumanHandPoseObservation& observation);

  // The largest wrist-to-tip distance (the first of equals); 0 without tips.
  static double reach(const Hand& hand);

  static bool isOpenHand(const Hand& hand, double ratio = extensionRatio,
                         int needed = fingersForOpenHand);
};

}  // namespace quorvel
