#include "app/diagnostics_camera.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "app/diagnostics_text.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/keychain.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/recognition_engine.hpp"
#include "foundation/settings.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/ui/application.hpp"
#include "platform/vision/hand_pose.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/face_models.hpp"
#include "recognition/native_dlib.hpp"
#include "recognition/palm_detector.hpp"
#include "unlock/unlock_coordinator.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel::diagnostics {
namespace {

constexpr std::size_t kLabelWidth = 36;

const char* text(bool value) { return value ? "true" : "false"; }

// Writes one printed text and its line break in one piece (the palm diagnostic prints from
// the camera queue and the main thread).
void printLine(std::ostream& out, const std::string& line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> guard(mutex);
  out << line << '\n' << std::flush;
}


}  // namespace

std::string cameraPermissionLine() {
  return std::string("Camera authorised: ") + text(CameraSession::authorised()) + " (" +
         CameraSession::authorisationStatusDescription() + ")";
}

std::string checklistLine(const std::string& label, bool passed, const std::string& detail) {
  std::string padded = label.substr(0, kLabelWidth);
  padded.resize(kLabelWidth, ' ');
  return std::string("  ") + (passed ? "yes" : " no") + "   " + padded + " " + detail;
}

int runRequestCamera(const std::vector<std::string>& /*args*/, std::ostream& out) {
  const std::shared_ptr<platform::ui::Application> application = platform::ui::shared();
  application->setActivationPolicy(platform::ui::ActivationPolicy::regular);
  application->activate(true);
  printLine(out, "Requesting camera access as com.tessmin.quorvel...");
  std::ostream* stream = &out;
  CameraSession::requestAccess([stream](bool granted) {
    printLine(*stream, granted ? "GRANTED" : "DENIED");
    platform::dispatch::stopMainLoop(granted ? 0 : 1);
  });
  return application->run();
}

int runDiagnoseStorage(const std::vector<std::string>& /*args*/, std::ostream& out) {
  (void)platform::ui::shared();
  const std::shared_ptr<platform::keychain::Keychain> keychain = platform::keychain::current();
  const std::string service = Keychain::service;
  (void)keychain->remove(service, kStorageProbeAccount);
  const platform::keychain::Bytes probe{'p', 'r', 'o', 'b', 'e'};
  const platform::keychain::OSStatus status =
      keychain->add(service, kStorageProbeAccount, probe,
                    platform::keychain::Accessibility::whenUnlocked);
  std::string message = platform::keychain::messageForStatus(status);
  if (message.empty()) message = "no description";
  printLine(out, "Keychain SecItemAdd status: " + std::to_string(status) + " (" + message + ")");
  if (status == platform::keychain::errSecSuccess) {
    (void)keychain->remove(service, kStorageProbeAccount);
    printLine(out, "  wrote and cleaned up a probe item successfully");
  }
  return 0;
}

int runDiagnosePalm(const std::vector<std::string>& /*args*/, std::ostream& out) {
  const std::shared_ptr<platform::ui::Application> application = platform::ui::shared();
  application->setActivationPolicy(platform::ui::ActivationPolicy::regular);
  printLine(out, cameraPermissionLine());
  printLine(out, "Hold a hand up to the camera. Watching for 8 seconds...");

  // Shared between the camera queue and the main thread.
  const auto busy = std::make_shared<std::atomic<bool>>(false);
  const auto examined = std::make_shared<std::atomic<std::int64_t>>(0);
  const auto openHands = std::make_shared<std::atomic<std::int64_t>>(0);
  // Main thread only: whichever of the failed start and the summary comes first ends the run.
  const auto finished = std::make_shared<bool>(false);
  std::ostream* stream = &out;

  const std::shared_ptr<CameraSession> camera = CameraSession::create();
  camera->onFrame = [busy, examined, openHands,
                     stream](const std::shared_ptr<platform::image::PixelBuffer>& frame) {
    bool expected = false;
    if (!busy->compare_exchange_strong(expected, true)) return;  // dropped, uncounted
    const std::int64_t seen = examined->fetch_add(1) + 1;
    if (frame && PalmDetector::openHandPresent(*frame)) {
      openHands->fetch_add(1);
      printLine(*stream, "  frame " + std::to_string(seen) + ": OPEN HAND");
    }
    busy->store(false);
  };

  camera->start([finished, stream](bool running) {
    if (running || *finished) return;
    *finished = true;
    printLine(*stream, "FAILED: camera would not start");
    platform::dispatch::stopMainLoop(1);
  });
  platform::dispatch::mainQueue().asyncAfter(
      kPalmWatchSeconds, [camera, examined, openHands, finished, stream] {
        if (*finished) return;
        *finished = true;
        camera->stop();
        const std::int64_t frames = examined->load();
        const std::int64_t open = openHands->load();
        printLine(*stream, "--- result ---\nframes seen:          " + std::to_string(frames) +
                               "\nframes with open hand: " + std::to_string(open));
        printLine(*stream, open > 0
                               ? "OK: the gesture was detected"
                               : "No open hand seen. Try holding it flatter, closer, and fully in view.");
        platform::dispatch::stopMainLoop(0);
      });
  return application->run();
}

int runDiagnoseCamera(const std::vector<std::string>& /*args*/, std::ostream& out) {
  const std::shared_ptr<platform::ui::Application> application = platform::ui::shared();
  application->setActivationPolicy(platform::ui::ActivationPolicy::regular);
  FaceModels::shared().prewarm();

  const RecognitionEngine engine = Settings::shared().recognitionEngine();
  printLine(out, cameraPermissionLine());
  printLine(out, std::string("Native dlib loaded: ") + text(NativeDlib::isLoaded()));
  printLine(out, std::string("Models loadFailed: ") + text(FaceModels::shared().loadFailed()));
  printLine(out, "Enrolled for " + displayName(engine) + ": " +
                     text(FaceprintStore::shared().isEnrolled(engine)));
  printLine(out, "Running a 4-second live test, using the real camera pipeline...");

  std::ostream* stream = &out;
  UnlockCoordinator::shared().runTest([stream](UnlockCoordinator::TestResult result) {
    printLine(*stream, "--- result ---\nframes seen:        " + std::to_string(result.framesSeen) +
                           "\nframes with a face:  " + std::to_string(result.framesWithFace) +
                           "\nbest similarity:     " + description(result.bestSimilarity) +
                           "\nbest liveness:       " + description(result.bestLiveness) +
                           "\nwould unlock:        " + text(result.wouldUnlock));
    platform::dispatch::stopMainLoop(result.framesSeen < 1 ? 1 : 0);
  });
  return application->run();
}

int runCheck(const std::vector<std::string>& /*args*/, std::ostream& out) {
  (void)platform::ui::shared();
  printLine(out, "");

  const std::optional<platform::capture::CaptureDevice> camera = CameraSession::builtInCamera();
  printLine(out, checklistLine("Built-in camera found", camera.has_value(),
                               camera ? camera->localizedName : "none"));
  printLine(out, checklistLine("Camera permission granted", CameraSession::authorised(),
                               CameraSession::authorisationStatusDescription()));
  const bool accessibility = Unlocker::hasAccessibility();
  printLine(out, checklistLine("Accessibility permission granted", accessibility,
                               accessibility ? "" : "needed to type the password"));
  const bool overlay = LockScreenOverlay::shared().available();
  printLine(out, checklistLine("Animation can draw over lock screen", overlay,
                               overlay ? "SkyLight space at level 400" : "animation disabled"));
  const RecognitionEngine engine = Settings::shared().recognitionEngine();
  printLine(out, checklistLine("Face model", true, displayName(engine)));
  printLine(out, checklistLine("Face enrolled", FaceprintStore::shared().isEnrolled(engine),
                               std::to_string(FaceprintStore::shared().enrolledCount(engine)) +
                                   " samples for this model"));
  printLine(out, checklistLine("Password saved", PasswordVault::hasPassword(), ""));
  printLine(out, checklistLine("Models loaded", !FaceModels::shared().loadFailed(), ""));

  printLine(out, "");
  const std::optional<std::string> blocker = UnlockCoordinator::shared().blocker();
  printLine(out, "  Ready to unlock: " + blocker.value_or("yes"));
  printLine(out, "");
  return 0;
}

}  // namespace quorvel::diagnostics
