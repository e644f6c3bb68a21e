#include "recognition/face_work.hpp"

#include <cmath>

#include "foundation/settings.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_models.hpp"
#include "recognition/native_dlib.hpp"

namespace quorvel {

FaceWork::FaceWork(std::shared_ptr<platform::image::PixelBuffer> frame, bool ahead, bool gazeGate)
    : frame_(std::move(frame)), dropped_(std::make_shared<std::atomic<bool>>(false)) {
  if (ahead) {
    made_.emplace([frame = frame_, gazeGate, dropped = dropped_] { return make(frame, gazeGate, *dropped); });
  }
}

FaceWork::~FaceWork() = default;

void FaceWork::drop() { *dropped_ = true; }

FaceWork::Made FaceWork::make(const std::shared_ptr<platform::image::PixelBuffer>& frame, bool gazeGate,
                              const std::atomic<bool>& dropped) {
  Made made;
  made.faces = FaceDetector::shared().facesIn(frame);
  const auto* faces = std::get_if<std::vector<FaceObservation>>(&made.faces);
  const FaceObservation* face = faces ? FaceDetector::largestOf(*faces) : nullptr;
  if (!face || dropped) return made;
  if (gazeGate && (std::fabs(face->yaw.value_or(0.0)) > MatchEngine::gazeToleranceRadians ||
                   std::fabs(face->pitch.value_or(0.0)) > MatchEngine::gazeToleranceRadians)) {
    return made;
  }
  // Only the dlib engine's steps are made ahead, and only with its network loaded: loading
  // (and its failure line) stays where the caller asks for the descriptor.
  const FaceEngineSpec& spec = quorvel::spec(Settings::shared().recognitionEngine());
  if (&spec != &FaceEngineSpec::dlib || !NativeDlib::isLoaded()) return made;
  FaceAligner& aligner = FaceAligner::shared();
  made.spec = &spec;
  made.aligned = aligner.alignedFace(frame, *face, spec);
  if (made.aligned && !dropped) made.probe = NativeDlib::embedding(*made.aligned, *aligner.ciContext());
  return made;
}

std::optional<FaceObservation> FaceWork::largestFace() {
  if (!made_) return FaceDetector::shared().largestFace(frame_);
  return FaceDetector::shared().largestFace(made_->get().faces);
}

std::optional<platform::image::Image> FaceWork::alignedFace(const FaceObservation& face, const FaceEngineSpec& spec) {
  if (made_ && made_->get().spec == &spec && made_->get().aligned) return made_->get().aligned;
  return FaceAligner::shared().alignedFace(frame_, face, spec);
}

std::optional<FaceDescriptor> FaceWork::embedding(const platform::image::Image& aligned, const FaceEngineSpec& spec,
                                                  const platform::image::Context& context) {
  if (made_) {
    const Made& made = made_->get();
    if (made.spec == &spec && made.probe && made.aligned && made.aligned->node() == aligned.node() &&
        &context == FaceAligner::shared().ciContext().get()) {
      return made.probe;
    }
  }
  return FaceModels::shared().embedding(aligned, spec, context);
}

}  // namespace quorvel
