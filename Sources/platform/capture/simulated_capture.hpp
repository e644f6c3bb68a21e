// A simulated capture system for tests and the simulated machine.
//
// Configure the cameras, the authorisation and the answer to an access request; inject
// faults (an input that cannot be made, a session that refuses the input or the output, a
// session that does not start); and give the camera its frames: a list of pixel buffers
// (loaded from image files or generated) played in order at `frameRate` frames a second
// while a session with an input and an output runs, from one frame interval after the start,
// looping unless told not to.
//
// Frames reach the delegate as the given 32-bit BGRA buffers only when the output asks for
// that pixel format; otherwise they come in the camera's own bi-planar 4:2:0 format, as
// buffers of the same size that carry no readable bytes.
//
// Timing goes through platform/dispatch, so under the virtual scheduler frames come exactly
// when the test advances time. A handler is "busy" while its delivery is queued or running
// and, when `handlerDuration` is set, for that long after it started (a way to play a slow
// handler in virtual time); a frame due while the handler is busy is dropped when the output
// discards late frames, and queued otherwise.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capture/capture.hpp"
#include "platform/image/image.hpp"

namespace platform::capture {

class SimulatedCaptureSession;

class SimulatedCaptureSystem : public CaptureSystem,
                               public std::enable_shared_from_this<SimulatedCaptureSystem> {
 public:
  SimulatedCaptureSystem();

  // A built-in wide-angle camera named "FaceTime HD Camera", not a continuity camera.
  static CaptureDevice builtInCameraDevice();
  // A continuity (phone) camera that also reports itself as wide-angle.
  static CaptureDevice continuityCameraDevice();

  // Configuration (by default: the built-in camera, authorised, access granted).
  void setDevices(std::vector<CaptureDevice> devices);
  void setAuthorizationStatus(AuthorizationStatus status);
  // The answer to requestAccess; a not-determined status becomes authorised or denied.
  void setAccessAnswer(bool granted);
  void setInputCreationFails(bool fails);
  void setRefusesInput(bool refuses);
  void setRefusesOutput(bool refuses);
  // The next `count` starts leave the session stopped.
  void failNextStarts(int count);
  void setFailsToStart(bool fails);

  // The camera's frames.
  void setFrames(std::vector<std::shared_ptr<image::PixelBuffer>> frames);
  void setFrameRate(double framesPerSecond);
  void setLoops(bool loops);
  void setHandlerDuration(double seconds);
  // Frames from image files; a file that cannot be read is skipped (and counted out).
  static std::vector<std::shared_ptr<image::PixelBuffer>> loadFrames(
      const std::vector<std::string>& paths);
  // A uniform frame of the given size.
  static std::shared_ptr<image::PixelBuffer> generatedFrame(int width, int height,
                                                            const image::Color& color);

  // What happened.
  int framesDelivered() const;
  int framesDropped() const;
  int accessRequests() const;
  int sessionsMade() const;
  int startsRequested() const;
  std::vector<SessionPreset> presetsSet() const;

  // CaptureSystem
  std::vector<CaptureDevice> discoverDevices(const std::vector<DeviceType>& types,
                                             MediaType mediaType,
                                             DevicePosition position) override;
  AuthorizationStatus authorizationStatus(MediaType mediaType) override;
  void requestAccess(MediaType mediaType, std::function<void(bool)> handler) override;
  std::optional<DeviceInput> makeDeviceInput(const CaptureDevice& device,
                                             std::string* error) override;
  std::shared_ptr<CaptureSession> makeSession() override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::capture
