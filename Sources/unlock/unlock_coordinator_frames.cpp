// The coordinator's per-frame road, on the camera session's queue: the open-hand cancel, the
// largest face, the gaze gate, alignment, the descriptor, the score, the lazily computed
// liveness, the match engine's decision, learning, and the two in-attempt time-outs.
#include <algorithm>
#include <cmath>

#include "foundation/faceprint_store.hpp"
#include "foundation/log.hpp"
#include "foundation/settings.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/vision/hand_pose.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/face_work.hpp"
#include "recognition/palm_detector.hpp"
#include "unlock/unlock_coordinator.hpp"

namespace quorvel {
namespace {

// The side and normalisation of the liveness model's input.
constexpr int kLivenessSide = 128;


}  // namespace

void UnlockCoordinator::handle(const Frame& frame) {
  if (!frame) return;
  // The frame belongs to the attempt current now; every later write of the attempt's fields
  // first checks (under the state lock) that this attempt is still the current one, so a frame
  // still in hand when its attempt is replaced changes nothing of the next.
  UUID id = UUID::fromBytes({});
  Mode mode;
  std::shared_ptr<MatchEngine> engine;
  {
    std::lock_guard<std::mutex> guard(state_);
    const std::optional<UUID> current = session_.current();
    // No attempt, another frame in hand, or no attempt running: dropped, not counted.
    if (!current || !active_ || processing_) return;
    id = *current;
    processing_ = true;
    testResult_.framesSeen += 1;
    mode = mode_;
    engine = engine_;
  }
  // Every exit from here on puts `processing` back.
  struct Release {
    UnlockCoordinator& owner;
    ~Release() {
      std::lock_guard<std::mutex> guard(owner.state_);
      owner.processing_ = false;
    }
  } release{*this};

  // With the open-hand check on, the face steps are made ahead, alongside it, and read (a
  // failed face request logged) only once the frame goes on: an open-hand frame drops them.
  const bool palmCheck = mode == Mode::unlocking && Settings::shared().palmToCancel();
  FaceWork work(frame, palmCheck, mode == Mode::unlocking);
  if (palmCheck) {
    if (PalmDetector::openHandPresent(*frame)) {
      work.drop();
      std::int64_t inARow = 0;
      {
        std::lock_guard<std::mutex> guard(state_);
        if (!session_.contains(id)) return;
        inARow = ++consecutivePalmFrames_;
      }
      if (inARow >= palmFramesToCancel) {
        Log::unlock().info("Open hand held up, cancelling this unlock attempt");
        finishLater(id, std::string(cancelledMessage), true);
      }
      return;  // an open-hand frame is never scored
    }
    std::lock_guard<std::mutex> guard(state_);
    if (session_.contains(id)) consecutivePalmFrames_ = 0;
  }

  const std::optional<FaceObservation> face = work.largestFace();
  if (!face) {
    checkNoFaceTimeout(id);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(state_);
    if (!session_.contains(id)) return;
    if (!firstFaceSeen_) firstFaceSeen_ = platform::dispatch::now();
    testResult_.framesWithFace += 1;
  }

  // Read on every frame; the match engine keeps the engine selected when the attempt began.
  const RecognitionEngine kind = Settings::shared().recognitionEngine();
  const FaceEngineSpec& faceSpec = spec(kind);
  const double yaw = face->yaw.value_or(0.0);
  const double pitch = face->pitch.value_or(0.0);

  // Only an unlock attempt turns a face away before scoring; a test scores turned faces too.
  if (mode == Mode::unlocking &&
      (std::fabs(yaw) > MatchEngine::gazeToleranceRadians ||
       std::fabs(pitch) > MatchEngine::gazeToleranceRadians)) {
    checkNoMatchTimeout(id);
    return;
  }

  FaceAligner& aligner = FaceAligner::shared();
  const std::optional<platform::image::Image> aligned = work.alignedFace(*face, faceSpec);
  if (!aligned) return;
  const std::optional<FaceDescriptor> probe = work.embedding(*aligned, faceSpec, *aligner.ciContext());
  if (!probe) return;

  // The frame's liveness, computed at most once when it succeeds; a failure counts as 0 and
  // is tried again on the next call.
  std::optional<float> cachedLiveness;
  const auto livenessNow = [&]() -> float {
    if (cachedLiveness) return *cachedLiveness;
    const std::optional<platform::image::Image> square = aligner.wideSquare(frame);
    if (!square) return 0;
    const std::optional<platform::ml::MultiArray> tensor = FaceTensors::shared().tensor(
        *square, kLivenessSide, FaceTensors::Normalisation::unit());
    if (!tensor) return 0;
    const std::optional<float> p = FaceModels::shared().liveness(*tensor);
    if (!p) return 0;
    cachedLiveness = *p;
    return *p;
  };

  const std::vector<FaceDescriptor> stored = FaceprintStore::shared().vectors(kind);
  const double score = engine->matchScore(*probe, stored);
  {
    std::lock_guard<std::mutex> guard(state_);
    if (!session_.contains(id)) return;
    // The first scored frame seeds the best score whatever it is (a distance engine's best
    // would otherwise stay at the reset value 0, a perfect score never seen).
    if (!bestSimilaritySeeded_ || faceSpec.meets(score, testResult_.bestSimilarity)) {
      testResult_.bestSimilarity = score;
      bestSimilaritySeeded_ = true;
    }
  }
  if (mode == Mode::testing) {
    const float live = livenessNow();
    std::lock_guard<std::mutex> guard(state_);
    if (!session_.contains(id)) return;
    testResult_.bestLiveness = std::max(testResult_.bestLiveness, live);
  }

  const MatchEngine::Decision decision =
      engine->evaluate(score, [&] { return livenessNow(); }, yaw, pitch);
  if (!decision.isUnlock()) {
    checkNoMatchTimeout(id);
    return;
  }

  Log::unlock().info("Match: %f, liveness %f", decision.smoothed,
                     static_cast<double>(cachedLiveness.value_or(0.0f)));
  if (decision.shouldLearn) {
    FaceprintStore::shared().add(*probe, FaceprintStore::Source::learned, kind);
  }
  if (mode == Mode::unlocking) {
    succeed(id);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(state_);
    if (!session_.contains(id)) return;
    testResult_.wouldUnlock = true;
  }
  // Ends the test here on the camera queue, unless it has been replaced meanwhile.
  finish(std::nullopt, false, id);
}

void UnlockCoordinator::checkNoFaceTimeout(const UUID& sessionID) {
  {
    std::lock_guard<std::mutex> guard(state_);
    if (!session_.contains(sessionID) || mode_ != Mode::unlocking || firstFaceSeen_) return;
    if (!(platform::dispatch::now() - sessionStart_ > noFaceTimeout)) return;
  }
  Log::unlock().info("No face within %fs, giving up", noFaceTimeout);
  finishLater(sessionID, std::nullopt, false);
}

void UnlockCoordinator::checkNoMatchTimeout(const UUID& sessionID) {
  {
    std::lock_guard<std::mutex> guard(state_);
    if (!session_.contains(sessionID) || mode_ != Mode::unlocking || !firstFaceSeen_) return;
    if (!(platform::dispatch::now() - *firstFaceSeen_ > noMatchTimeout)) return;
  }
  Log::unlock().info("Face present but no match for %fs, giving up", noMatchTimeout);
  finishLater(sessionID, std::string(noMatchMessage), false);
}

}  // namespace quorvel
