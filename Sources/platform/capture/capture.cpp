#include "platform/capture/capture.hpp"

#include <atomic>
#include <mutex>

namespace platform::capture {
namespace {

std::mutex installMutex;
std::shared_ptr<CaptureSystem>& installed() {
  static std::shared_ptr<CaptureSystem> system;
  return system;
}

// A session with no camera behind it: it accepts outputs but no input, and runs idle.
class IdleCaptureSession : public CaptureSession {
 public:
  void beginConfiguration() override {}
  void commitConfiguration() override {}
  SessionPreset sessionPreset() const override { return preset_; }
  void setSessionPreset(SessionPreset preset) override { preset_ = preset; }
  bool canAddInput(const DeviceInput&) const override { return false; }
  void addInput(const DeviceInput&) override {}
  void removeInput(const DeviceInput&) override {}
  bool canAddOutput(const std::shared_ptr<VideoDataOutput>& output) const override {
    return output != nullptr;
  }
  void addOutput(const std::shared_ptr<VideoDataOutput>&) override {}
  void startRunning() override { running_ = true; }
  void stopRunning() override { running_ = false; }
  bool isRunning() const override { return running_; }

 private:
  SessionPreset preset_ = SessionPreset::high;
  std::atomic<bool> running_{false};
};

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

std::vector<CaptureDevice> LinuxCaptureSystem::discoverDevices(const std::vector<DeviceType>&,
                                                               MediaType, DevicePosition) {
  return {};
}

AuthorizationStatus LinuxCaptureSystem::authorizationStatus(MediaType) {
  return AuthorizationStatus::authorized;
}

void LinuxCaptureSystem::requestAccess(MediaType, std::function<void(bool)> handler) {
  if (handler) handler(true);
}

std::optional<DeviceInput> LinuxCaptureSystem::makeDeviceInput(const CaptureDevice& device,
                                                               std::string* error) {
  if (error) *error = "The camera \"" + device.localizedName + "\" is not available.";
  return std::nullopt;
}

std::shared_ptr<CaptureSession> LinuxCaptureSystem::makeSession() {
  return std::make_shared<IdleCaptureSession>();
}

}  // namespace platform::capture
