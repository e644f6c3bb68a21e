#include "platform/capture/capture.hpp"

#include "platform/capture/capture_linux.hpp"

#include <mutex>

namespace platform::capture {

SessionPreset ConfiguredCaptureSession::sessionPreset() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return preset_;
}

void ConfiguredCaptureSession::setSessionPreset(SessionPreset preset) {
  std::lock_guard<std::mutex> lock(mutex_);
  preset_ = preset;
}

bool ConfiguredCaptureSession::canAddInput(const DeviceInput& input) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !input_ || input_->device() != input.device();
}

void ConfiguredCaptureSession::addInput(const DeviceInput& input) {
  std::lock_guard<std::mutex> lock(mutex_);
  input_ = input;
}

void ConfiguredCaptureSession::removeInput(const DeviceInput& input) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (input_ && input_->device() == input.device()) input_.reset();
}

bool ConfiguredCaptureSession::canAddOutput(const std::shared_ptr<VideoDataOutput>& output) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output && output_ != output;
}

void ConfiguredCaptureSession::addOutput(const std::shared_ptr<VideoDataOutput>& output) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_ = output;
}
namespace {

std::mutex installMutex;
std::shared_ptr<CaptureSystem>& installed() {
  static std::shared_ptr<CaptureSystem> system;
  return system;
}

}  // namespace

std::shared_ptr<CaptureSystem> current() {
  std::lock_guard<std::mutex> lock(installMutex);
  auto& system = installed();
  if (!system) system = std::make_shared<LinuxCaptureSystem>();
  return system;
}

void install(std::shared_ptr<CaptureSystem> system) {
  std::lock_guard<std::mutex> lock(installMutex);
  installed() = std::move(system);
}

}  // namespace platform::capture
