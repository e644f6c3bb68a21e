// Camera recordings of real faces (what QUORVEL_CAMERA plays), made from dlib's example photos
// of five people (examples/johns, package libdlib19.1): a head scan that the enrolment accepts,
// and a person's photos framed as a small camera frames a face. Faces are found by the face
// detector installed when they are made (outside the test fixture: the real one).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace quorvel::testing::recordings {

using Frame = std::shared_ptr<platform::image::PixelBuffer>;

// The frame size of these recordings, the scale of a photo (150 pixels) in a head scan, where
// it has room to turn, and in a match, where it fills the frame's height.
inline constexpr int kWidth = 320, kHeight = 240;
inline constexpr double kScanScale = 1.1, kMatchScale = 1.6;

// The photos of examples/johns by person (their folder's name), each person's sorted.
std::map<std::string, std::vector<std::string>> johnsByPerson();

// The photo enlarged `scale` times in the middle of a width x height frame, then transformed
// by `t` (y up) about the frame's centre; none when it cannot be read or drawn.
Frame placedPhoto(const std::string& path, int width, int height, double scale,
                  const platform::AffineTransform& t = {});

// A head scan of the face in `photo`: looking straight (twice), then turned towards each tick
// of the enrolment ring, twice round. Stretching a frame vertically by s and turning it by -phi
// moves the head direction (x, y) to (x, s y) turned by phi. The straight frame is stretched a
// little (a tenth), so that "up" needs no more squeezing than "down" needs stretching; each
// ring frame moves the direction `reach` from it towards its tick. Empty, with the reason in
// `error`, when the photo shows no frontal face.
std::vector<Frame> headScan(const std::string& photo, double reach = 0.1, std::string* error = nullptr,
                            int width = kWidth, int height = kHeight, double scale = kScanScale);

// The photos framed for a match, in order; empty when one cannot be drawn.
std::vector<Frame> matchFrames(const std::vector<std::string>& photos, int width = kWidth,
                               int height = kHeight, double scale = kMatchScale);

}  // namespace quorvel::testing::recordings
