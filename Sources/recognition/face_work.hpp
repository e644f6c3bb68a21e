// The face steps of one camera frame (the largest face, its alignment, its descriptor), made
// either when asked for, or ahead: started when the frame arrives and run alongside whatever
// the caller does first (the open-hand check). Made ahead, the steps are the same calls with
// the same answers, and nothing is logged or loaded ahead: the caller still asks for each step
// in its own order, a failed face request is logged when the largest face is asked for, and a
// step that was not made ahead (the face turned past the gaze tolerance, another engine than
// the dlib one selected when the frame arrived, the dlib network not loaded yet, a failure) is
// made when asked for, exactly as without ahead work.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "foundation/recognition_engine.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/match_engine.hpp"

namespace quorvel {

class FaceWork {
 public:
  // `ahead`: start the steps now. `gazeGate`: the caller turns away faces past the gaze
  // tolerance before aligning them (an unlock attempt), so those are not aligned ahead.
  FaceWork(std::shared_ptr<platform::image::PixelBuffer> frame, bool ahead, bool gazeGate);
  // Stops the ahead steps at the next step and drops them unread (an open-hand frame); the
  // destructor waits for the step in hand. Nothing else may be asked for afterwards.
  ~FaceWork();
  void drop();

  // FaceDetector::largestFace of the frame.
  std::optional<FaceObservation> largestFace();
  // FaceAligner::alignedFace of the frame, for the face `largestFace` gave.
  std::optional<platform::image::Image> alignedFace(const FaceObservation& face, const FaceEngineSpec& spec);
  // FaceModels::embedding of the image `alignedFace` gave.
  std::optional<FaceDescriptor> embedding(const platform::image::Image& aligned, const FaceEngineSpec& spec,
                                          const platform::image::Context& context);

 private:
  struct Made {
    platform::vision::FaceLandmarksResult faces;
    const FaceEngineSpec* spec = nullptr;  // the engine the face was aligned and described for
    std::optional<platform::image::Image> aligned;
    std::optional<FaceDescriptor> probe;
  };
  static Made make(const std::shared_ptr<platform::image::PixelBuffer>& frame, bool gazeGate,
                   const std::atomic<bool>& dropped);

  std::shared_ptr<platform::image::PixelBuffer> frame_;
  std::shared_ptr<std::atomic<bool>> dropped_;
  std::optional<platform::dispatch::AheadValue<Made>> made_;
};

}  // namespace quorvel
