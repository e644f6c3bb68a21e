#include "recognition/camera_session.hpp"

#include "foundation/log.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace quorvel {

using platform::capture::AuthorizationStatus;
using platform::capture::MediaType;

std::shared_ptr<CameraSession> CameraSession::create() {
  return std::make_shared<CameraSession>(Token{});
}

CameraSession::CameraSession(Token)
    : session_(platform::capture::current()->makeSession()),
      output_(std::make_shared<platform::capture::VideoDataOutput>()),
      queue_(platform::dispatch::makeSerialQueue(queueLabel)) {}

platform::capture::SessionPreset CameraSession::capturePreset() {
  static const auto preset = platform::capture::SessionPreset::high;
  return preset;
}

std::optional<platform::capture::CaptureDevice> CameraSession::builtInCamera() {
  const auto devices = platform::capture::current()->discoverDevices(
      {platform::capture::DeviceType::builtInWideAngleCamera}, MediaType::video,
      platform::capture::DevicePosition::unspecified);
  for (const auto& device : devices) {
    if (!device.isContinuityCamera) return device;
  }
  return std::nullopt;
}

bool CameraSession::authorised() {
  return platform::capture::current()->authorizationStatus(MediaType::video) ==
         AuthorizationStatus::authorized;
}

std::string CameraSession::authorisationStatusDescription() {
  switch (platform::capture::current()->authorizationStatus(MediaType::video)) {
    case AuthorizationStatus::notDetermined:
      return "not yet asked";
    case AuthorizationStatus::restricted:
      return "restricted by a system policy (e.g. parental controls, MDM)";
    case AuthorizationStatus::denied:
      return "denied — must be re-enabled in System Settings";
    case AuthorizationStatus::authorized:
      return "authorized";
  }
  return "unknown";
}

void CameraSession::requestAccess(std::function<void(bool)> handler) {
  platform::capture::current()->requestAccess(
      MediaType::video, [handler = std::move(handler)](bool granted) {
        platform::dispatch::mainQueue().async([handler, granted] {
          if (handler) handler(granted);
        });
      });
}

bool CameraSession::configure() {
  if (configured_) return true;
  auto system = platform::capture::current();
  const auto camera = builtInCamera();
  std::optional<platform::capture::DeviceInput> input;
  if (camera) {
    std::string discarded;
    input = system->makeDeviceInput(*camera, &discarded);
  }
  if (!input) {
    Log::face().error("No built-in camera available");
    return false;
  }
  session_->beginConfiguration();
  session_->setSessionPreset(capturePreset());
  if (!session_->canAddInput(*input)) {
    session_->commitConfiguration();
    return false;
  }
  session_->addInput(*input);
  output_->setAlwaysDiscardsLateVideoFrames(true);
  output_->setPixelFormat(platform::image::kPixelFormat32BGRA);
  output_->setSampleBufferDelegate(weak_from_this(), queue_);
  if (!session_->canAddOutput(output_)) {
    session_->removeInput(*input);
    session_->commitConfiguration();
    return false;
  }
  session_->addOutput(output_);
  session_->commitConfiguration();
  configured_ = true;
  Log::face().info("Camera configured: %s", camera->localizedName);
  return true;
}

void CameraSession::start(std::function<void(bool)> completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    bool running = false;
    if (self->configure()) {
      if (!self->session_->isRunning()) self->session_->startRunning();
      running = self->session_->isRunning();
    }
    platform::dispatch::mainQueue().async([completion, running] {
      if (completion) completion(running);
    });
  });
}

void CameraSession::stop() {
  queue_->async([self = shared_from_this()] {
    if (self->session_->isRunning()) self->session_->stopRunning();
  });
}

bool CameraSession::isRunning() const { return session_->isRunning(); }

void CameraSession::captureOutput(platform::capture::VideoDataOutput&,
                                  const platform::capture::SampleBuffer& sampleBuffer) {
  const auto& pixelBuffer = sampleBuffer.imageBuffer;
  if (!pixelBuffer) return;
  if (onFrame) onFrame(pixelBuffer);
}

}  // namespace quorvel
