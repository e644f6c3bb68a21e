// Runs at most one face-unlock attempt at a time. The lock monitor's callbacks say that the
// screen locked, slept or unlocked; on a lock the coordinator checks that face unlock has
// everything it needs and starts an attempt: a fresh attempt UUID, a fresh match engine, the
// overlay's scanning animation, its own camera session (with retries) and an overall
// deadline. Frames are handled one at a time on the camera's queue; a match hands over to
// the unlocker on the main queue, which types the saved password into the login window.
//
// The same machinery runs a short match test (4 s) that never unlocks, never touches the
// overlay and reports its counters.
//
// Threads: the entry points, the deadline, the camera completions, the cancel, time-out and
// success steps and the unlocker's completion run on the main thread; frame handling runs on
// the camera session's serial queue. The attempt UUID lives in the session (its own lock) and
// every step that crosses queues carries it and re-checks it. The other fields that both
// threads touch are kept behind the coordinator's own state lock. An attempt begins and ends
// in one hold of that lock (UUID made or dropped, camera stop queued), so nothing can start
// in between; a frame writes the attempt's fields only while its own UUID is still current.
// Besides the session's lock and the camera queue's, nothing is taken or called under it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/image/pixel_buffer.hpp"
#include "platform/uuid/uuid.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/match_engine.hpp"
#include "unlock/unlock_session.hpp"

namespace quorvel {

class UnlockCoordinator final : public std::enable_shared_from_this<UnlockCoordinator> {
  struct Token {};

 public:
  // What the current (or last) attempt is: one started by a lock, or a match test.
  enum class Mode { unlocking, testing };

  // The match test's counters.
  struct TestResult {
    // Best score in the engine's own sense (highest similarity, lowest distance).
    double bestSimilarity = 0;
    // Highest liveness probability; computed only in test attempts.
    float bestLiveness = 0;
    // Frames in which a face was found.
    std::int64_t framesWithFace = 0;
    // Frames the handler accepted (dropped frames are not counted).
    std::int64_t framesSeen = 0;
    // The match engine decided to unlock during the test.
    bool wouldUnlock = false;

    TestResult() = default;
    TestResult(double bestSimilarity, float bestLiveness, std::int64_t framesWithFace,
               std::int64_t framesSeen, bool wouldUnlock)
        : bestSimilarity(bestSimilarity),
          bestLiveness(bestLiveness),
          framesWithFace(framesWithFace),
          framesSeen(framesSeen),
          wouldUnlock(wouldUnlock) {}
    friend bool operator==(const TestResult&, const TestResult&) = default;
  };

  using TestCompletion = std::function<void(TestResult)>;
  using UUID = platform::uuid::UUID;
  using Frame = std::shared_ptr<platform::image::PixelBuffer>;

  // No face this long after the start ends an unlock attempt silently.
  static constexpr double noFaceTimeout = 15.0;
  // No unlock this long after the first face ends an unlock attempt with a message.
  static constexpr double noMatchTimeout = 8.0;
  // Length of a match test.
  static constexpr double testDuration = 4.0;
  // Overall deadline of an unlock attempt.
  static constexpr double unlockDeadline = 20.0;
  // Camera starts tried per attempt, and the wait between them.
  static constexpr std::int64_t cameraAttempts = 5;
  static constexpr double cameraRetryDelay = 0.4;
  // Open-hand frames in a row that cancel an unlock attempt.
  static constexpr std::int64_t palmFramesToCancel = 2;

  // Texts the overlay shows when an attempt ends.
  static constexpr const char* deadlineMessage = "Not recognised \u2014 type your password";
  static constexpr const char* noMatchMessage = "Not recognised; type your password";
  static constexpr const char* cancelledMessage = "Cancelled";
  static constexpr const char* cameraUnavailableMessage = "Camera unavailable";

  static UnlockCoordinator& shared();
  static std::shared_ptr<UnlockCoordinator> sharedPointer();

  // A new coordinator whose camera passes its frames to the frame handler, holding the
  // coordinator weakly. `shared()` makes the process's one instance with it.
  static std::shared_ptr<UnlockCoordinator> make();
  explicit UnlockCoordinator(Token);
  UnlockCoordinator(const UnlockCoordinator&) = delete;
  UnlockCoordinator& operator=(const UnlockCoordinator&) = delete;

  // Whether face unlock can run now (enabled, enrolled for the selected engine, a saved
  // password, Accessibility, models loaded).
  bool isReady() const;
  // Why face unlock cannot run now, or no value exactly when `isReady()`.
  std::optional<std::string> blocker() const;

  // The lock monitor's callbacks (main thread).
  void screenDidLock();
  void screenDidSleep();
  void screenDidUnlock();

  // Starts a match test; `completion` gets the counters once, on the main queue, when the test
  // ends. A second call replaces the first completion, which is then never called.
  void runTest(TestCompletion completion);

  // Read-only views for diagnostics and tests.
  const std::shared_ptr<CameraSession>& camera() const { return camera_; }
  Mode mode() const;
  bool isActive() const;
  bool hasSucceeded() const;
  TestResult testResult() const;
  std::optional<UUID> currentAttempt() const { return session_.current(); }

  // Called on the thread that ends an attempt, right after the attempt has ended (no longer
  // active, its UUID gone, the camera's stop queued) and before the overlay or the test's
  // completion hear of it. Set it before the attempt starts; tests use it to act in that moment.
  std::function<void()> onAttemptEnded;

 private:
  void start(Mode mode);
  void startCameraWithRetry(std::int64_t attemptsLeft, const UUID& sessionID);
  // Ends the running attempt, or, given `attempt`, only that one while it is still current.
  void finish(const std::optional<std::string>& message, bool cancelled,
              const std::optional<UUID>& attempt = std::nullopt);
  void succeed(const UUID& sessionID);

  // Frame handling, on the camera queue.
  void handle(const Frame& frame);
  void checkNoFaceTimeout(const UUID& sessionID);
  void checkNoMatchTimeout(const UUID& sessionID);
  // Schedules `finish` on the main queue for the attempt `sessionID`, if it is still current.
  void finishLater(const UUID& sessionID, std::optional<std::string> message, bool cancelled);

  const std::shared_ptr<CameraSession> camera_;
  UnlockSession session_;

  // Guards every field below.
  mutable std::mutex state_;
  std::shared_ptr<MatchEngine> engine_;
  Mode mode_ = Mode::unlocking;
  bool active_ = false;
  bool processing_ = false;
  double sessionStart_ = 0;  // platform::dispatch::now()
  std::optional<double> firstFaceSeen_;
  bool succeeded_ = false;
  TestResult testResult_;
  // Whether a scored frame has set `testResult_.bestSimilarity` since the counters were reset.
  bool bestSimilaritySeeded_ = false;
  TestCompletion onTestFinished_;
  std::int64_t consecutivePalmFrames_ = 0;
};

}  // namespace quorvel
