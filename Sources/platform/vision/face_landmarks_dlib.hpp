// What the dlib face-landmarks detector (face_landmarks_linux.cpp) reads from dlib's answers.
#pragma once

#include <dlib/geometry/rectangle.h>
#include <dlib/geometry/vector.h>
#include <dlib/image_processing/full_object_detection.h>

#include <optional>
#include <vector>

#include "platform/vision/face_landmarks.hpp"

namespace platform::vision::dlib_answers {

// The observation of a face whose points dlib fitted in `box` (full-resolution pixel indices,
// rows from the top) of a `width` x `height` frame: the box and the landmark regions
// normalised, yaw and pitch when they can be told. None unless the shape has 68 points.
std::optional<FaceObservation> observationOf(const dlib::full_object_detection& shape,
                                             const dlib::rectangle& box, double confidence, int width,
                                             int height);

// The box in which the predictor's mean face (`meanShape`, in box coordinates 0 to 1) best
// matches the points of a first fit: where the second fit starts. None when the fit has
// another number of points or is too small to place.
std::optional<dlib::rectangle> refittingBox(const dlib::full_object_detection& first,
                                            const std::vector<dlib::dpoint>& meanShape);

}  // namespace platform::vision::dlib_answers
