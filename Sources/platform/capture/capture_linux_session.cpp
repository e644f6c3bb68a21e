// Capture sessions of the Linux capture system: a camera (OpenCV's V4L2 back end) or a
// recording read on the session's own capture queue and delivered as BGRA frames.
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/capture/capture_linux_internal.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/opencv_pixels.hpp"

namespace platform::capture::linux_detail {

const log::Logger& captureLog() {
  // Never destroyed: threads of the process may still log while it exits.
  static const auto* const logger = new log::Logger("com.tessmin.quorvel.platform", "capture");
  return *logger;
}

bool openRecording(const std::string& path, cv::VideoCapture& capture, std::string* why) {
  const bool pattern = path.find('%') != std::string::npos;
  std::error_code error;
  if (!pattern && !std::filesystem::is_regular_file(path, error)) {
    *why = std::filesystem::exists(path, error) ? "not a file" : "no such file";
    return false;
  }
  // OpenCV warns on the console when an image sequence ends (the next file is missing);
  // what matters is logged here.
  static std::once_flag quiet;
  std::call_once(quiet, [] { cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR); });
  // A numbered image sequence goes to OpenCV's image-sequence reader; a video to FFmpeg,
  // else OpenCV's own MJPEG reader.
  const std::vector<int> readers =
      pattern ? std::vector<int>{cv::CAP_IMAGES} : std::vector<int>{cv::CAP_FFMPEG, cv::CAP_OPENCV_MJPEG};
  for (const int reader : readers) {
    try {
      if (capture.open(path, reader)) break;
    } catch (const cv::Exception&) {
    }
  }
  if (!capture.isOpened()) {
    *why = "not a video or numbered image sequence that can be decoded";
    return false;
  }
  bool first = false;
  try {
    first = capture.grab();
  } catch (const cv::Exception&) {
  }
  if (!first) {
    capture.release();
    *why = "it has no frame";
    return false;
  }
  return true;
}

namespace {

// The size a preset asks the camera for; none: the camera's own.
std::optional<cv::Size> presetSize(SessionPreset preset) {
  switch (preset) {
    case SessionPreset::high:
    case SessionPreset::hd1280x720:
      return cv::Size(1280, 720);
    case SessionPreset::hd1920x1080:
      return cv::Size(1920, 1080);
    case SessionPreset::medium:
      return cv::Size(480, 360);
    case SessionPreset::low:
      return cv::Size(192, 144);
    case SessionPreset::photo:
      return std::nullopt;
  }
  return std::nullopt;
}

bool openCamera(const std::string& node, SessionPreset preset, cv::VideoCapture& capture,
                std::string* why) {
  // Bound every read: OpenCV waits this long for a frame before the read fails.
  static std::once_flag timeout;
  std::call_once(timeout, [] { ::setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "2", 0); });
  try {
    if (capture.open(node, cv::CAP_V4L2)) {
      capture.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
      if (const auto size = presetSize(preset)) {
        capture.set(cv::CAP_PROP_FRAME_WIDTH, size->width);
        capture.set(cv::CAP_PROP_FRAME_HEIGHT, size->height);
      }
      if (capture.grab()) return true;
      *why = "it sends no frame";
      capture.release();
      return false;
    }
  } catch (const cv::Exception& exception) {
    capture.release();
    *why = exception.what();
    return false;
  }
  *why = "it cannot be opened";
  return false;
}

class LinuxCaptureSession : public ConfiguredCaptureSession,
                            public std::enable_shared_from_this<LinuxCaptureSession> {
 public:
  explicit LinuxCaptureSession(LinuxCaptureOptions options)
      : options_(std::move(options)), reader_(dispatch::makeSerialQueue("com.tessmin.quorvel.capture")) {}

  ~LinuxCaptureSession() override {
    ++generation_;
    running_ = false;
  }

  void startRunning() override {
    if (running_) return;
    std::optional<DeviceInput> input;
    SessionPreset preset;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      input = input_;
      preset = preset_;
    }
    if (!input) {  // nothing to read: the session runs idle
      ++generation_;
      running_ = true;
      return;
    }
    bool opened = false;
    reader_->sync([&] { opened = open(input->device(), preset); });
    if (!opened) return;
    const std::uint64_t generation = ++generation_;
    running_ = true;
    std::weak_ptr<LinuxCaptureSession> weak = weak_from_this();
    reader_->asyncAfter(interval(), [weak, generation] {
      if (auto self = weak.lock()) self->readFrame(generation);
    });
  }

  void stopRunning() override {
    if (!running_.exchange(false)) return;
    ++generation_;
    // Waits for a read in progress; no frame is read or delivered after this.
    reader_->sync([this] { capture_.release(); });
  }

  bool isRunning() const override { return running_; }

 private:
  // On the reader queue.
  bool open(const CaptureDevice& device, SessionPreset preset) {
    capture_.release();
    recording_ = !options_.recording.empty() && device.uniqueID == options_.recording;
    name_ = device.localizedName;
    path_ = device.uniqueID;
    std::string why;
    const bool opened = recording_ ? openRecording(path_, capture_, &why)
                                   : openCamera(path_, preset, capture_, &why);
    if (!opened) {
      captureLog().error("Camera \"%s\" cannot be started: %s", name_, why);
      return false;
    }
    frameRate_ = options_.frameRate > 0 ? options_.frameRate : capture_.get(cv::CAP_PROP_FPS);
    if (!(frameRate_ > 0 && frameRate_ < 1000)) frameRate_ = 30;
    started_ = dispatch::now();
    framesRead_ = 0;
    primed_ = true;  // the open read the first frame
    return true;
  }

  // Seconds to the next frame of a recording; a camera is read again at once (each read
  // waits for the camera's next frame).
  double interval() const {
    if (!recording_) return 0;
    return started_ + static_cast<double>(framesRead_ + 1) / frameRate_ - dispatch::now();
  }

  bool grab() {
    try {
      if (capture_.grab()) return true;
      if (!recording_ || !options_.loop) return false;
      std::string why;
      capture_.release();
      return openRecording(path_, capture_, &why);  // from the start again
    } catch (const cv::Exception&) {
      return false;
    }
  }

  // On the reader queue: one frame of the session `generation`.
  void readFrame(std::uint64_t generation) {
    if (generation_ != generation) return;
    const bool read = primed_ || grab();
    primed_ = false;
    if (!read) {
      std::uint64_t expected = generation;
      if (generation_.compare_exchange_strong(expected, generation + 1)) {
        running_ = false;
        captureLog().error("Camera \"%s\" stopped: %s", name_,
                           recording_ ? "the recording ended" : "the device went away");
      }
      capture_.release();
      return;
    }
    ++framesRead_;
    deliver(generation);
    std::weak_ptr<LinuxCaptureSession> weak = weak_from_this();
    reader_->asyncAfter(interval(), [weak, generation] {
      if (auto self = weak.lock()) self->readFrame(generation);
    });
  }

  void deliver(std::uint64_t generation) {
    std::shared_ptr<VideoDataOutput> output;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      output = output_;
    }
    const auto queue = output ? output->delegateQueue() : nullptr;
    if (!queue || !output->delegate()) return;
    // Late frame: the delegate still has an earlier one.
    if (inFlight_->load() > 0 && output->alwaysDiscardsLateVideoFrames()) return;
    cv::Mat pixels;
    try {
      if (!capture_.retrieve(pixels)) return;
    } catch (const cv::Exception&) {
      return;
    }
    auto frame = image::pixelBufferFromMat(pixels);
    if (!frame) return;
    const double time = dispatch::now();
    ++*inFlight_;
    std::weak_ptr<LinuxCaptureSession> weak = weak_from_this();
    queue->async([weak, generation, output, frame = std::move(frame), time, inFlight = inFlight_] {
      const auto self = weak.lock();
      if (self && self->generation_ == generation) {
        if (const auto delegate = output->delegate()) delegate->captureOutput(*output, SampleBuffer{frame, time});
      }
      --*inFlight;
    });
  }

  const LinuxCaptureOptions options_;
  const std::shared_ptr<dispatch::Queue> reader_;

  std::atomic<bool> running_{false};
  // Changes at every start and stop: reads and deliveries of an earlier run do nothing.
  std::atomic<std::uint64_t> generation_{0};
  // Frames queued for or held by the delegate.
  const std::shared_ptr<std::atomic<int>> inFlight_ = std::make_shared<std::atomic<int>>(0);

  // Only touched on the reader queue.
  cv::VideoCapture capture_;
  bool recording_ = false;
  std::string name_;
  std::string path_;
  double frameRate_ = 30;
  double started_ = 0;
  long framesRead_ = 0;
  bool primed_ = false;
};

}  // namespace

std::shared_ptr<CaptureSession> makeSession(const LinuxCaptureOptions& options) {
  return std::make_shared<LinuxCaptureSession>(options);
}

}  // namespace platform::capture::linux_detail
