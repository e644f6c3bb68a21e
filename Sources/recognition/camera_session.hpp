// The built-in camera, delivering 32-bit BGRA frames to a callback on a private serial queue.
//
// Every client owns its own session object (create it with `CameraSession::create()`); each
// object has its own queue labelled "com.tessmin.quorvel.camera", on which configuration,
// start, stop and frame delivery run one at a time, in the order submitted. Completions and
// permission replies come asynchronously on the main queue. Only the built-in wide-angle
// camera is used, never a continuity camera. The session neither throttles nor retries.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/capture/capture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace quorvel {

class CameraSession : public platform::capture::SampleBufferDelegate,
                      public std::enable_shared_from_this<CameraSession> {
  struct Token {};

 public:
  using FrameHandler = std::function<void(const std::shared_ptr<platform::image::PixelBuffer>&)>;

  static constexpr const char* queueLabel = "com.tessmin.quorvel.camera";

  // Creates the capture session, the output and the queue; nothing touches the camera yet.
  static std::shared_ptr<CameraSession> create();
  explicit CameraSession(Token);

  // The frame callback, called synchronously on the session's queue for every frame. Set it
  // before `start`: it is read on the queue without a lock.
  FrameHandler onFrame;

  // Configures the session on first use and starts it, on the queue; `completion` gets, on
  // the main queue, whether the capture session runs.
  void start(std::function<void(bool)> completion);
  // Stops the capture session on the queue if it is running then. No completion.
  void stop();
  // Whether the capture session runs (any thread).
  bool isRunning() const;

  // The capture preset: the platform's high-quality preset.
  static platform::capture::SessionPreset capturePreset();
  // The first built-in wide-angle camera that is not a continuity camera.
  static std::optional<platform::capture::CaptureDevice> builtInCamera();
  static bool authorised();
  static std::string authorisationStatusDescription();
  // Asks for camera access; `handler` gets the answer on the main queue.
  static void requestAccess(std::function<void(bool)> handler);

  // Frame delivery from the capture output (on the queue).
  void captureOutput(platform::capture::VideoDataOutput& output,
                     const platform::capture::SampleBuffer& sampleBuffer) override;

 private:
  bool configure();

  std::shared_ptr<platform::capture::CaptureSession> session_;
  std::shared_ptr<platform::capture::VideoDataOutput> output_;
  std::shared_ptr<platform::dispatch::Queue> queue_;
  bool configured_ = false;  // only touched on queue_
};

}  // namespace quorvel
