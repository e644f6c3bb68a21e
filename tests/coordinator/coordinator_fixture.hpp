// A machine ready for face unlock: the lock monitor wired to the coordinator as the
// application wires it, a saved password the simulated login window accepts, the dlib
// weights in the test bundle, a simulated liveness model, the overlay prepared on the
// simulated window server, and synthetic camera frames whose faces are scripted. The dlib
// network is real: a frame's descriptor is computed, and faceprints are enrolled at a chosen
// distance from it, so the scores the coordinator sees are known.
#pragma once

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "overlay/unlock_animation_model.hpp"
#include "overlay/unlock_animation_view.hpp"
#include "platform/capture/simulated_capture.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_models.hpp"
#include "support/face_models_hooks.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_display.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/unlock_coordinator.hpp"

namespace quorvel::testing {

inline constexpr const char* kPassword = "correct horse 7";
inline constexpr const char16_t* kPassword16 = u"correct horse 7";

using Frame = std::shared_ptr<platform::image::PixelBuffer>;

// An open hand as the hand-pose detector reports it.
platform::vision::HumanHandPoseObservation openHand();

class CoordinatorTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  UnlockCoordinator& coordinator() { return UnlockCoordinator::shared(); }
  // A face frame made at set-up (shade 90), for the tests that need just one face.
  Frame face;

  // --- frames ---
  // A uniform 640 x 480 frame of `shade` in which the detector finds one frontal face with
  // this yaw and pitch (or, without landmarks, a face that cannot be aligned).
  Frame faceFrame(int shade, double yaw = 0, double pitch = 0, bool landmarks = true);
  // A uniform frame in which the detector finds nothing.
  Frame emptyFrame(int shade = 20);
  // The descriptor the coordinator computes for a face frame.
  FaceDescriptor descriptorOf(const Frame& frame);
  // Enrols one faceprint at Euclidean distance `distance` from the frame's descriptor.
  void enrolAt(const Frame& frame, double distance);
  // The camera plays these frames in a loop at `fps`, from the next start on (or at once
  // when it runs).
  void play(std::vector<Frame> frames, double fps = 10);
  // What the liveness model answers from now on (a probability).
  void setLiveness(float probability);
  // The liveness model answers through `answer` from now on, called on the thread that runs
  // the prediction: a probability, or no value for a failed prediction.
  void answerLiveness(std::function<std::optional<float>()> answer);

  // --- the machine ---
  void lockScreen();
  // Enrols a faceprint `distance` from `frame`, which the camera plays at 2 fps, and locks.
  void lockFacing(const Frame& frame, double distance);
  // The user unlocks the screen with the password, and the machine settles.
  void unlockByUser();
  std::vector<std::string> unlockLogs() { return logs().messages("unlock"); }
  int countLogs(const std::string& line);
  bool logged(const std::string& line) { return countLogs(line) > 0; }
  platform::log::Level levelOf(const std::string& line);
  std::size_t livenessRuns() { return simulatedML().predictionCount("MiniFAS.mlpackage"); }

  // --- the overlay ---
  // What the overlay's animation model did, in order: "scan" (scanning began), "tick" (the
  // success tick), "palm" (the cancel glyph), "message:<text>", "retract" (the panel closed
  // by its animation), "hide" (the panel taken down at once).
  std::vector<std::string> overlayEvents() const;

 private:
  std::vector<std::string> rawEvents_;
  std::shared_ptr<UnlockAnimationModel> model_;
  platform::animation::ObservableObject::Token token_ = 0;
};

}  // namespace quorvel::testing
