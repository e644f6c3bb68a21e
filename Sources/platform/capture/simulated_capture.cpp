#include "platform/capture/simulated_capture.hpp"

#include <algorithm>
#include <atomic>

#include "platform/image/context.hpp"
#include "platform/image/image_io.hpp"

namespace platform::capture {

struct SimulatedCaptureSystem::State {
  mutable std::mutex mutex;
  std::vector<CaptureDevice> devices;
  AuthorizationStatus status = AuthorizationStatus::authorized;
  bool accessAnswer = true;
  bool inputCreationFails = false;
  bool refusesInput = false;
  bool refusesOutput = false;
  int failingStarts = 0;
  bool failsToStart = false;
  std::vector<std::shared_ptr<image::PixelBuffer>> frames;
  double frameRate = 30;
  bool loops = true;
  double handlerDuration = 0;

  int delivered = 0;
  int dropped = 0;
  int accessRequests = 0;
  int sessions = 0;
  int starts = 0;
  std::vector<SessionPreset> presets;
};

class SimulatedCaptureSession : public ConfiguredCaptureSession,
                                public std::enable_shared_from_this<SimulatedCaptureSession> {
 public:
  explicit SimulatedCaptureSession(std::shared_ptr<SimulatedCaptureSystem::State> state)
      : state_(std::move(state)), clock_(dispatch::makeSerialQueue("simulated camera clock")) {}

  void setSessionPreset(SessionPreset preset) override {
    ConfiguredCaptureSession::setSessionPreset(preset);
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->presets.push_back(preset);
  }
  bool canAddInput(const DeviceInput& input) const override {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (state_->refusesInput) return false;
    }
    return ConfiguredCaptureSession::canAddInput(input);
  }
  bool canAddOutput(const std::shared_ptr<VideoDataOutput>& output) const override {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (state_->refusesOutput) return false;
    }
    return ConfiguredCaptureSession::canAddOutput(output);
  }

  void startRunning() override {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      ++state_->starts;
      if (state_->failsToStart) return;
      if (state_->failingStarts > 0) {
        --state_->failingStarts;
        return;
      }
    }
    std::uint64_t generation;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (running_) return;
      running_ = true;
      generation = ++generation_;
      next_ = 0;
    }
    scheduleTick(generation);
  }

  void stopRunning() override {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    ++generation_;
  }

  bool isRunning() const override { return running_; }

 private:
  void scheduleTick(std::uint64_t generation) {
    double rate;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      rate = state_->frameRate > 0 ? state_->frameRate : 30;
    }
    std::weak_ptr<SimulatedCaptureSession> weak = weak_from_this();
    clock_->asyncAfter(1.0 / rate, [weak, generation] {
      if (auto self = weak.lock()) self->tick(generation);
    });
  }

  void tick(std::uint64_t generation) {
    std::shared_ptr<VideoDataOutput> output;
    std::shared_ptr<image::PixelBuffer> frame;
    bool more = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running_ || generation != generation_) return;
      if (!input_ || !output_) {
        output = nullptr;
      } else {
        output = output_;
      }
      std::lock_guard<std::mutex> stateLock(state_->mutex);
      if (output && !state_->frames.empty()) {
        if (next_ >= state_->frames.size()) {
          if (state_->loops) next_ = 0;
        }
        if (next_ < state_->frames.size()) frame = state_->frames[next_++];
        more = state_->loops || next_ < state_->frames.size();
      }
    }
    if (frame) deliver(*output, output, std::move(frame));
    if (more) scheduleTick(generation);
  }

  void deliver(VideoDataOutput& output, std::shared_ptr<VideoDataOutput> keep,
               std::shared_ptr<image::PixelBuffer> frame) {
    auto queue = output.delegateQueue();
    if (!queue || !output.delegate()) return;
    const double now = dispatch::now();
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      const bool busy = inFlight_ > 0 || now < busyUntil_;
      if (busy && output.alwaysDiscardsLateVideoFrames()) {
        ++state_->dropped;
        return;
      }
      ++inFlight_;
    }
    // The camera's own format unless the output asks for BGRA.
    if (output.pixelFormat() != image::kPixelFormat32BGRA) {
      frame = image::PixelBuffer::create(frame->width(), frame->height(),
                                         image::kPixelFormat420YpCbCr8BiPlanarVideoRange);
    }
    std::weak_ptr<SimulatedCaptureSession> weak = weak_from_this();
    auto state = state_;
    queue->async([weak, state, keep, frame, now] {
      auto self = weak.lock();
      const double started = dispatch::now();
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        ++state->delivered;
        if (self) self->busyUntil_ = started + state->handlerDuration;
      }
      if (auto delegate = keep->delegate()) delegate->captureOutput(*keep, SampleBuffer{frame, now});
      if (self) {
        std::lock_guard<std::mutex> lock(state->mutex);
        --self->inFlight_;
      }
    });
  }

  std::shared_ptr<SimulatedCaptureSystem::State> state_;
  std::shared_ptr<dispatch::Queue> clock_;
  std::atomic<bool> running_{false};
  std::uint64_t generation_ = 0;
  std::size_t next_ = 0;
  // Guarded by the system state's mutex.
  int inFlight_ = 0;
  double busyUntil_ = 0;
};

SimulatedCaptureSystem::SimulatedCaptureSystem() : state_(std::make_shared<State>()) {
  state_->devices = {builtInCameraDevice()};
}

CaptureDevice SimulatedCaptureSystem::builtInCameraDevice() {
  return {"simulated-built-in", "FaceTime HD Camera", DeviceType::builtInWideAngleCamera,
          DevicePosition::front, false};
}

CaptureDevice SimulatedCaptureSystem::continuityCameraDevice() {
  return {"simulated-continuity", "iPhone Camera", DeviceType::builtInWideAngleCamera,
          DevicePosition::back, true};
}

void SimulatedCaptureSystem::setDevices(std::vector<CaptureDevice> devices) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->devices = std::move(devices);
}
void SimulatedCaptureSystem::setAuthorizationStatus(AuthorizationStatus status) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->status = status;
}
void SimulatedCaptureSystem::setAccessAnswer(bool granted) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->accessAnswer = granted;
}
void SimulatedCaptureSystem::setInputCreationFails(bool fails) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->inputCreationFails = fails;
}
void SimulatedCaptureSystem::setRefusesInput(bool refuses) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->refusesInput = refuses;
}
void SimulatedCaptureSystem::setRefusesOutput(bool refuses) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->refusesOutput = refuses;
}
void SimulatedCaptureSystem::failNextStarts(int count) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failingStarts = std::max(0, count);
}
void SimulatedCaptureSystem::setFailsToStart(bool fails) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failsToStart = fails;
}
void SimulatedCaptureSystem::setFrames(std::vector<std::shared_ptr<image::PixelBuffer>> frames) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->frames = std::move(frames);
}
void SimulatedCaptureSystem::setFrameRate(double framesPerSecond) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->frameRate = framesPerSecond;
}
void SimulatedCaptureSystem::setLoops(bool loops) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->loops = loops;
}
void SimulatedCaptureSystem::setHandlerDuration(double seconds) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->handlerDuration = seconds;
}

std::vector<std::shared_ptr<image::PixelBuffer>> SimulatedCaptureSystem::loadFrames(
    const std::vector<std::string>& paths) {
  std::vector<std::shared_ptr<image::PixelBuffer>> frames;
  for (const auto& path : paths) {
    if (auto frame = image::readImageFile(path)) frames.push_back(std::move(frame));
  }
  return frames;
}

std::shared_ptr<image::PixelBuffer> SimulatedCaptureSystem::generatedFrame(
    int width, int height, const image::Color& color) {
  auto frame = image::PixelBuffer::create(width, height);
  if (!frame) return nullptr;
  const image::Context context;
  if (!context.render(image::Image::color(color), *frame, Rect(0, 0, width, height),
                      image::ColorSpace::sRGB())) {
    return nullptr;
  }
  return frame;
}

int SimulatedCaptureSystem::framesDelivered() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->delivered;
}
int SimulatedCaptureSystem::framesDropped() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->dropped;
}
int SimulatedCaptureSystem::accessRequests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->accessRequests;
}
int SimulatedCaptureSystem::sessionsMade() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sessions;
}
int SimulatedCaptureSystem::startsRequested() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->starts;
}
std::vector<SessionPreset> SimulatedCaptureSystem::presetsSet() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->presets;
}

std::vector<CaptureDevice> SimulatedCaptureSystem::discoverDevices(
    const std::vector<DeviceType>& types, MediaType mediaType, DevicePosition position) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<CaptureDevice> found;
  if (mediaType != MediaType::video) return found;
  for (const auto& device : state_->devices) {
    if (std::find(types.begin(), types.end(), device.deviceType) == types.end()) continue;
    if (position != DevicePosition::unspecified && device.position != position) continue;
    found.push_back(device);
  }
  return found;
}

AuthorizationStatus SimulatedCaptureSystem::authorizationStatus(MediaType) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->status;
}

void SimulatedCaptureSystem::requestAccess(MediaType, std::function<void(bool)> handler) {
  bool granted;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->accessRequests;
    if (state_->status == AuthorizationStatus::notDetermined) {
      state_->status = state_->accessAnswer ? AuthorizationStatus::authorized
                                            : AuthorizationStatus::denied;
    }
    granted = state_->status == AuthorizationStatus::authorized;
  }
  // The platform answers on a queue of its own.
  dispatch::globalQueue(dispatch::QoS::Default).async([handler = std::move(handler), granted] {
    if (handler) handler(granted);
  });
}

std::optional<DeviceInput> SimulatedCaptureSystem::makeDeviceInput(const CaptureDevice& device,
                                                                   std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const bool known = std::find(state_->devices.begin(), state_->devices.end(), device) !=
                     state_->devices.end();
  if (state_->inputCreationFails || !known) {
    if (error) *error = "Cannot use " + device.localizedName;
    return std::nullopt;
  }
  if (state_->status != AuthorizationStatus::authorized) {
    if (error) *error = "Not authorized to use " + device.localizedName;
    return std::nullopt;
  }
  return DeviceInput(device);
}

std::shared_ptr<CaptureSession> SimulatedCaptureSystem::makeSession() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->sessions;
  }
  return std::make_shared<SimulatedCaptureSession>(state_);
}

}  // namespace platform::capture
