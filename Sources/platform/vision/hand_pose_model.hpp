// The arithmetic around MediaPipe's two hand models, without the networks themselves: the
// palm detector's anchors and box decoding, weighted non-maximum suppression, and the
// rotated square region of the frame that the landmark model reads. Frame coordinates here
// are pixels with the origin at the top left (y down), as the frame's rows are stored.
#pragma once

#include <array>
#include <vector>

#include "platform/geometry/geometry.hpp"

namespace platform::vision::handmodel {

inline constexpr int kPalmInputSide = 128;
inline constexpr int kLandmarkInputSide = 224;
inline constexpr int kAnchorCount = 896;
// Values per anchor in the palm detector's regressors: box centre x, y, width, height, then
// seven keypoints (x, y).
inline constexpr int kPalmValuesPerAnchor = 18;
inline constexpr int kLandmarkCount = 21;

// The palm detector's keypoints that place the hand.
enum PalmKeypoint { palmWrist = 0, palmIndexBase = 1, palmMiddleBase = 2, palmRingBase = 3, palmLittleBase = 4 };

// The anchor centres, 0 to 1 across the palm input, in the order of the detector's outputs:
// the 16 x 16 grid (stride 8, two anchors a cell), then the 8 x 8 grid (stride 16, six
// anchors a cell), each row by row, column by column.
const std::vector<Point>& palmAnchors();

// Where a frame sits in the square palm input: scaled by `scale` (aspect kept) and centred,
// `padX` and `padY` input pixels from the input's left and top edges.
struct Letterbox {
  double scale = 1;
  double padX = 0;
  double padY = 0;
  static Letterbox fit(int width, int height, int side = kPalmInputSide);
  // A point of the input, given as fractions of its side, in frame pixels.
  Point toFrame(double u, double v, int side = kPalmInputSide) const;
};

// One palm, in frame pixels.
struct PalmDetection {
  float score = 0;
  Point centre;
  double width = 0;
  double height = 0;
  std::array<Point, 7> keypoints{};
  Rect box() const { return Rect(centre.x - width / 2, centre.y - height / 2, width, height); }
};

// The palms of one forward pass whose score (sigmoid of the logit) is at least
// `minimumScore`, in anchor order. `regressors` holds kAnchorCount × 18 values, `logits`
// kAnchorCount.
std::vector<PalmDetection> decodePalms(const float* regressors, const float* logits,
                                       const Letterbox& letterbox, float minimumScore);

// Intersection over union of two boxes; 0 when either is empty.
double overlap(const Rect& a, const Rect& b);

// Merges the detections of one hand: the best remaining detection and every other whose box
// overlaps it by more than `minimumOverlap` become one detection, box and keypoints averaged
// with the scores as weights, scored as the best. Best first.
std::vector<PalmDetection> weightedNonMaxSuppression(std::vector<PalmDetection> detections,
                                                     double minimumOverlap = 0.3);

// A square of the frame turned by `rotation` (radians, clockwise on the screen), in which the
// hand stands upright: fingers towards the top of the square.
struct HandRegion {
  Point centre;
  double side = 0;
  double rotation = 0;
  // The frame pixel at (u, v) of the square, in fractions of its side from its top left.
  Point toFrame(double u, double v) const;
};

// The landmark model's region for a detected palm: turned so that the wrist-to-middle-finger
// -base line points up, 2.6 times the palm box, moved half a box towards the fingers.
HandRegion regionFromPalm(const PalmDetection& palm);

// The region that follows a hand into the next frame, from its 21 landmarks (frame pixels):
// turned along wrist to middle-finger base, twice the landmarks' extent across that axis,
// moved a tenth of it towards the fingers.
HandRegion regionFromLandmarks(const std::array<Point, kLandmarkCount>& landmarks);

// One hand read by the landmark model: its landmarks in frame pixels (y down), in MediaPipe's
// order (the order of `HandJointName`), how sure the model is that a hand is there, and the
// score of the palm it was read for.
struct FoundHand {
  std::array<Point, kLandmarkCount> landmarks{};
  float presence = 0;
  float palmScore = 0;
  // The box around the landmarks.
  Rect bounds() const;
};

// The hand in the landmark model's output for `region`: `points` holds kLandmarkCount
// (x, y, z) in pixels of the model's input, `presence` its hand flag.
FoundHand handFromOutput(const HandRegion& region, const float* points, float presence, float palmScore);

// Present at least `minimumPresence` and shaped like a hand: a palm of some length and a
// little finger no longer than the middle one, bone by bone.
bool isHandLike(const FoundHand& hand, float minimumPresence);

// Mean distance from the palm detector's wrist and four finger bases to the landmarks', in
// palm lengths (wrist to middle-finger base).
double keypointDisagreement(const PalmDetection& palm, const FoundHand& hand);

}  // namespace platform::vision::handmodel
