// The guided face scan that enrols the user.
//
// The model owns a camera session of its own. In every frame it measures where the head
// points, relative to a baseline taken while the user looks straight at the camera, captures
// one centre sample and then two passes around a ring of twelve directions, turns each
// sample into a descriptor with the selected recognition engine and, at the end, replaces
// every faceprint of that engine in the store with them.
//
// Threads: `start`, `stop`, the camera and permission completions, the watchdog and every
// write of a published field run on the main thread; frame handling and capture run on the
// camera session's queue. The camera queue reads what it needs of the published state from a
// copy kept under the model's lock, so it may act on values one main-queue turn old (a tick
// may be captured once more than planned, which is why the store accepts 25 or more
// descriptors). Every step queued by a scan carries the scan's generation and does nothing
// once a newer scan has started.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/animation/animation.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/image/context.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/vision/face_landmarks.hpp"

namespace quorvel {
class CameraSession;
}

namespace platform::animation {

// The published head direction: interpolates like a pair of numbers, recorded as "(x, y)".
template <>
struct ValueTraits<platform::Point> {
  static constexpr bool interpolates = true;
  static RecordedValue record(const platform::Point& p);
  static platform::Point interpolate(const platform::Point& a, const platform::Point& b,
                                     double f) {
    return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f};
  }
};

// Captures per tick: discrete, recorded as "{0: 1, 3: 2}".
template <>
struct ValueTraits<std::map<int, int>> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const std::map<int, int>& passes);
  static std::map<int, int> interpolate(const std::map<int, int>& a, const std::map<int, int>& b,
                                        double f) {
    return f >= 1 ? b : a;
  }
};

// A preview image: discrete, recorded as "WxH" (nothing when absent).
template <>
struct ValueTraits<std::shared_ptr<const platform::image::Bitmap>> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const std::shared_ptr<const platform::image::Bitmap>& image);
  static std::shared_ptr<const platform::image::Bitmap> interpolate(
      const std::shared_ptr<const platform::image::Bitmap>& a,
      const std::shared_ptr<const platform::image::Bitmap>& b, double f) {
    return f >= 1 ? b : a;
  }
};

}  // namespace platform::animation

namespace quorvel {

class EnrolmentModel final : public platform::animation::ObservableObject,
                             public std::enable_shared_from_this<EnrolmentModel> {
  struct Token {};

 public:
  template <class T>
  using Published = platform::animation::Published<T>;
  // The latest camera frame, scaled down: BGRA, premultiplied, top row first.
  using Preview = std::shared_ptr<const platform::image::Bitmap>;
  using TickPasses = std::map<int, int>;

  static constexpr int tickCount = 12;            // tick i lies at i x 30 degrees
  static constexpr int passes = 2;                // times each tick is captured
  static constexpr int sampleTarget = 25;         // 1 centre + 12 x 2
  static constexpr double ringThreshold = 0.06;   // least direction length for a ring sample
  static constexpr double centreTolerance = 0.05; // greatest length for a repeated centre
  static constexpr double tickTolerance = 0.28;   // radians between direction and tick

  static constexpr double captureInterval = 0.08;     // more than this between captures
  static constexpr double directionStep = 0.004;      // least move that republishes
  static constexpr double watchdogInterval = 2.0;
  static constexpr double frameTimeout = 3.0;         // more than this without a frame fails
  static constexpr double previewWidth = 420;
  static constexpr double minimumEyeDistance = 0.0001;
  static constexpr double minimumDirectionLength = 1e-6;

  // Prompts.
  static constexpr const char* lookStraightText = "Look straight at the camera";
  static constexpr const char* moveIntoFrameText = "Move into frame";
  static constexpr const char* circleText = "Slowly move your head in a circle";
  static constexpr const char* onceMoreText = "Once more around";
  static constexpr const char* doneText = "All done";
  static constexpr const char* saveFailedText =
      "Could not save your face. Close setup and try again after allowing Keychain access.";
  // Failures.
  static constexpr const char* accessOffText =
      "Camera access is off for Quorvel. Turn it on in System Settings \u2192 Privacy & "
      "Security \u2192 Camera.";
  static constexpr const char* accessDeclinedText = "Camera access was declined.";
  static constexpr const char* accessUnavailableText = "Camera access is unavailable.";
  static constexpr const char* cameraWouldNotStartText =
      "The camera would not start. Close anything else using it, then try again.";
  static constexpr const char* cameraStoppedText =
      "The camera stopped sending images. Close anything else using it, then try again.";

  // Creates the model with its camera session; the session's frame callback holds the
  // model weakly. Scheduled steps hold it weakly too, so it is always owned by a shared
  // pointer.
  static std::shared_ptr<EnrolmentModel> make();
  explicit EnrolmentModel(Token);
  ~EnrolmentModel() override;

  Published<Preview> preview{this, "preview", nullptr};
  Published<TickPasses> tickPasses{this, "tickPasses", {}};
  Published<bool> centreCaptured{this, "centreCaptured", false};
  Published<int> pass{this, "pass", 1};
  Published<platform::Point> direction{this, "direction", {0, 0}};
  Published<bool> faceVisible{this, "faceVisible", false};
  Published<std::string> instruction{this, "instruction", lookStraightText};
  Published<bool> finished{this, "finished", false};
  Published<std::optional<std::string>> failure{this, "failure", std::nullopt};

  // Captured descriptors over the target (0 to 1, more after an extra capture).
  double progress() const;
  // Whether a scan runs (any thread).
  bool isRunning() const;
  // The scan's own camera session.
  const std::shared_ptr<CameraSession>& camera() const { return camera_; }

  // Begins a scan with a fresh reset; nothing while one runs. Main thread.
  void start();
  // Ends the scan: the watchdog goes and the camera stops. Harmless when not running.
  void stop();

  // One camera frame (the camera callback's work; the camera queue).
  void handleFrame(const std::shared_ptr<platform::image::PixelBuffer>& frame);

  // The head direction in eye distances from the eye centres and the nose (landmark
  // coordinates, y up); no value when the eyes are 0.0001 apart or closer.
  static std::optional<platform::Point> headDirection(platform::Point leftEye,
                                                      platform::Point rightEye,
                                                      platform::Point nose);
  // The same from an observation's left-eye, right-eye and nose regions (their means); no
  // value without landmarks, without one of the regions or its points, or with the eyes too
  // close.
  static std::optional<platform::Point> headDirection(
      const platform::vision::FaceObservation& observation);

  struct Tick {
    int index;        // 0...11
    double distance;  // radians
  };
  // The tick nearest to a direction's angle; no value for a direction of length 1e-6 or less.
  static std::optional<Tick> nearestTick(platform::Point direction);
  // How strongly tick `index` is lit for a direction, 0...1.
  static double tickEmphasis(int index, platform::Point direction);

 private:
  void startCamera(std::uint64_t generation);
  void watchdogTick();
  void fail(const std::string& text);
  void capture(const std::shared_ptr<platform::image::PixelBuffer>& frame,
               const platform::vision::FaceObservation& face, std::optional<int> tick,
               std::uint64_t generation);
  void bookkeep(std::optional<int> tick, std::uint64_t generation);
  void publishPreview(const std::shared_ptr<platform::image::PixelBuffer>& frame);
  bool isCurrent(std::uint64_t generation) const;  // under lock_
  // Runs `work` on the main queue while the model lives and `generation` is the latest scan.
  void onMain(std::uint64_t generation, std::function<void(EnrolmentModel&)> work);

  // Published values the camera queue reads, copied under the lock when they are written.
  void setCentreCaptured(bool value);
  void setPass(int value);
  void setTickPasses(const TickPasses& value);
  void setDirection(platform::Point value);

  std::shared_ptr<CameraSession> camera_;
  std::shared_ptr<platform::dispatch::Timer> watchdog_;  // main thread

  mutable std::mutex lock_;
  // Under lock_.
  std::vector<std::vector<float>> vectors_;
  std::optional<platform::Point> baseline_;
  double lastCapture_;
  std::optional<double> lastFrame_;
  bool processing_ = false;
  bool running_ = false;
  std::uint64_t generation_ = 0;
  struct Seen {
    bool centreCaptured = false;
    int pass = 1;
    TickPasses tickPasses;
    platform::Point direction;
  } seen_;
};

}  // namespace quorvel
