// Cameras: discovery, the user's authorisation, and capture sessions that deliver frames.
//
// A `CaptureSession` connects one camera (`DeviceInput`) to a `VideoDataOutput`. While the
// session runs, each frame is handed as a `SampleBuffer` (a 32-bit BGRA pixel buffer when the
// output asks for that format) to the output's delegate, on the serial queue given with the
// delegate. The output holds its delegate weakly. With `alwaysDiscardsLateVideoFrames` on
// (the default), a frame that comes while the delegate is still busy with an earlier one is
// dropped instead of queued.
//
// `startRunning()` and `stopRunning()` are synchronous; call them off the main thread (on the
// session's own queue). `isRunning()` may be read from any thread.
//
// `current()` is the installed capture system: the Linux one (capture_linux.hpp: V4L2 cameras
// or a recording named by QUORVEL_CAMERA) unless a test installed the simulated one
// (simulated_capture.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace platform::capture {

enum class MediaType { video, audio };

enum class DeviceType { builtInWideAngleCamera, external, continuityCamera, deskViewCamera };

enum class DevicePosition { unspecified, back, front };

// The platform's raw values; other values can come from a newer system.
enum class AuthorizationStatus : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

enum class SessionPreset { high, medium, low, photo, hd1280x720, hd1920x1080 };

struct CaptureDevice {
  std::string uniqueID;
  std::string localizedName;
  DeviceType deviceType = DeviceType::builtInWideAngleCamera;
  DevicePosition position = DevicePosition::unspecified;
  bool isContinuityCamera = false;
  bool operator==(const CaptureDevice&) const = default;
};

// The input made from a device.
class DeviceInput {
 public:
  explicit DeviceInput(CaptureDevice device) : device_(std::move(device)) {}
  const CaptureDevice& device() const { return device_; }

 private:
  CaptureDevice device_;
};

struct SampleBuffer {
  // The frame; null for a sample without an image (such a sample carries nothing to show).
  std::shared_ptr<image::PixelBuffer> imageBuffer;
  double presentationTime = 0;  // seconds, monotonic
};

class VideoDataOutput;

class SampleBufferDelegate {
 public:
  virtual ~SampleBufferDelegate() = default;
  virtual void captureOutput(VideoDataOutput& output, const SampleBuffer& sampleBuffer) = 0;
};

class VideoDataOutput {
 public:
  bool alwaysDiscardsLateVideoFrames() const { return discardsLate_; }
  void setAlwaysDiscardsLateVideoFrames(bool discard) { discardsLate_ = discard; }
  // The pixel format the frames are converted to (kCVPixelBufferPixelFormatTypeKey); no value:
  // the camera's own format.
  std::optional<std::uint32_t> pixelFormat() const { return pixelFormat_; }
  void setPixelFormat(std::optional<std::uint32_t> format) { pixelFormat_ = format; }

  void setSampleBufferDelegate(std::weak_ptr<SampleBufferDelegate> delegate,
                               std::shared_ptr<dispatch::Queue> queue) {
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
  }
  std::shared_ptr<SampleBufferDelegate> delegate() const { return delegate_.lock(); }
  std::shared_ptr<dispatch::Queue> delegateQueue() const { return queue_; }

 private:
  bool discardsLate_ = true;
  std::optional<std::uint32_t> pixelFormat_;
  std::weak_ptr<SampleBufferDelegate> delegate_;
  std::shared_ptr<dispatch::Queue> queue_;
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual void beginConfiguration() = 0;
  virtual void commitConfiguration() = 0;
  virtual SessionPreset sessionPreset() const = 0;
  virtual void setSessionPreset(SessionPreset preset) = 0;
  virtual bool canAddInput(const DeviceInput& input) const = 0;
  virtual void addInput(const DeviceInput& input) = 0;
  virtual void removeInput(const DeviceInput& input) = 0;
  virtual bool canAddOutput(const std::shared_ptr<VideoDataOutput>& output) const = 0;
  virtual void addOutput(const std::shared_ptr<VideoDataOutput>& output) = 0;
  virtual void startRunning() = 0;
  virtual void stopRunning() = 0;
  virtual bool isRunning() const = 0;
};

// A session's configuration (preset, one input, one output), as every session keeps it: an
// input of a device already added, or an output already added, cannot be added again.
class ConfiguredCaptureSession : public CaptureSession {
 public:
  void beginConfiguration() override {}
  void commitConfiguration() override {}
  SessionPreset sessionPreset() const override;
  void setSessionPreset(SessionPreset preset) override;
  bool canAddInput(const DeviceInput& input) const override;
  void addInput(const DeviceInput& input) override;
  void removeInput(const DeviceInput& input) override;
  bool canAddOutput(const std::shared_ptr<VideoDataOutput>& output) const override;
  void addOutput(const std::shared_ptr<VideoDataOutput>& output) override;

 protected:
  mutable std::mutex mutex_;  // the configuration below (a session may guard more with it)
  SessionPreset preset_ = SessionPreset::high;
  std::optional<DeviceInput> input_;
  std::shared_ptr<VideoDataOutput> output_;
};

class CaptureSystem {
 public:
  virtual ~CaptureSystem() = default;
  // The devices of the given types, for the media type and position (unspecified: any).
  virtual std::vector<CaptureDevice> discoverDevices(const std::vector<DeviceType>& types,
                                                     MediaType mediaType,
                                                     DevicePosition position) = 0;
  virtual AuthorizationStatus authorizationStatus(MediaType mediaType) = 0;
  // Asks the user; `handler` gets the answer later, on any thread.
  virtual void requestAccess(MediaType mediaType, std::function<void(bool)> handler) = 0;
  // An input for `device`; no value (and a description in `error`) when it cannot be made.
  virtual std::optional<DeviceInput> makeDeviceInput(const CaptureDevice& device,
                                                     std::string* error) = 0;
  virtual std::shared_ptr<CaptureSession> makeSession() = 0;
};

std::shared_ptr<CaptureSystem> current();
void install(std::shared_ptr<CaptureSystem> system);

}  // namespace platform::capture
