// The Linux capture system: discovery of the V4L2 cameras, the built-in camera rule,
// authorisation from the device node, recordings, and writing a recording.
#include "platform/capture/capture_linux.hpp"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/capture/capture_linux_internal.hpp"
#include "platform/dispatch/dispatch.hpp"

namespace platform::capture {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without trailing white space; empty when unreadable.
std::string attribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Whether the node captures video: VIDIOC_QUERYCAP when the node answers, else the sysfs
// index (a camera's capture node is index 0, its metadata node 1).
bool capturesVideo(const std::string& node, const fs::path& classDir) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    v4l2_capability capability{};
    const int asked = ::ioctl(fd, VIDIOC_QUERYCAP, &capability);
    ::close(fd);
    if (asked == 0) {
      const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS)
                                     ? capability.device_caps
                                     : capability.capabilities;
      return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
    }
  }
  const std::string index = attribute(classDir / "index");
  return index.empty() || index == "0";
}

bool saysBuiltIn(const std::string& name, const fs::path& classDir) {
  const std::string lower = lowercase(name);
  for (const char* word : {"integrated", "built-in", "internal"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  // The USB device above the video interface: "fixed" when its port is wired inside.
  return attribute(classDir / "device" / ".." / "removable") == "fixed";
}

// What the node allows the user.
AuthorizationStatus nodeAuthorization(const std::string& node) {
  if (::access(node.c_str(), R_OK | W_OK) == 0) return AuthorizationStatus::authorized;
  switch (errno) {
    case EACCES:
      return AuthorizationStatus::denied;
    case EPERM:
      return AuthorizationStatus::restricted;
    default:
      return AuthorizationStatus::authorized;  // gone or unusable: the open will say so
  }
}

double positiveNumber(const char* text) {
  if (!text || !*text) return 0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return (end && *end == '\0' && value > 0 && value < 1000) ? value : 0;
}

}  // namespace

LinuxCaptureOptions LinuxCaptureOptions::fromEnvironment() {
  LinuxCaptureOptions options;
  if (const char* recording = std::getenv("QUORVEL_CAMERA")) options.recording = recording;
  const char* loop = std::getenv("QUORVEL_CAMERA_LOOP");
  options.loop = loop && std::string(loop) == "1";
  options.frameRate = positiveNumber(std::getenv("QUORVEL_CAMERA_FPS"));
  return options;
}

LinuxCaptureSystem::LinuxCaptureSystem(LinuxCaptureOptions options)
    : options_(std::move(options)) {}

std::vector<CaptureDevice> LinuxCaptureSystem::allDevices() {
  if (!options_.recording.empty()) {
    cv::VideoCapture capture;
    std::string why;
    if (!linux_detail::openRecording(options_.recording, capture, &why)) {
      linux_detail::captureLog().error("Camera recording \"%s\" cannot be played: %s",
                                       options_.recording, why);
      return {};
    }
    return {CaptureDevice{options_.recording,
                          "Recording " + fs::path(options_.recording).filename().string(),
                          DeviceType::builtInWideAngleCamera, DevicePosition::front, false}};
  }

  struct Node {
    long number;
    fs::path classDir;
  };
  std::vector<Node> nodes;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator(fs::path(options_.sysfsRoot) / "class" / "video4linux", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("video", 0) != 0 || name.size() == 5) continue;
    char* end = nullptr;
    const long number = std::strtol(name.c_str() + 5, &end, 10);
    if (end && *end == '\0') nodes.push_back({number, entry.path()});
  }
  std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) { return a.number < b.number; });

  std::vector<CaptureDevice> devices;
  std::optional<std::size_t> builtIn;
  for (const Node& node : nodes) {
    const std::string path = options_.deviceRoot + "/video" + std::to_string(node.number);
    if (!fs::exists(path, error) || !capturesVideo(path, node.classDir)) continue;
    std::string name = attribute(node.classDir / "name");
    if (name.empty()) name = "video" + std::to_string(node.number);
    if (!builtIn && saysBuiltIn(name, node.classDir)) builtIn = devices.size();
    devices.push_back({path, name, DeviceType::external, DevicePosition::unspecified, false});
  }
  if (!devices.empty()) {
    CaptureDevice& chosen = devices[builtIn.value_or(0)];
    chosen.deviceType = DeviceType::builtInWideAngleCamera;
    chosen.position = DevicePosition::front;
  }
  return devices;
}

std::vector<CaptureDevice> LinuxCaptureSystem::discoverDevices(const std::vector<DeviceType>& types,
                                                               MediaType mediaType,
                                                               DevicePosition position) {
  std::vector<CaptureDevice> found;
  if (mediaType != MediaType::video) return found;
  for (const auto& device : allDevices()) {
    if (std::find(types.begin(), types.end(), device.deviceType) == types.end()) continue;
    if (position != DevicePosition::unspecified && device.position != position) continue;
    found.push_back(device);
  }
  return found;
}

AuthorizationStatus LinuxCaptureSystem::authorizationStatus(MediaType) {
  if (!options_.recording.empty()) return AuthorizationStatus::authorized;
  for (const auto& device : allDevices()) {
    if (device.deviceType == DeviceType::builtInWideAngleCamera) return nodeAuthorization(device.uniqueID);
  }
  return AuthorizationStatus::authorized;
}

void LinuxCaptureSystem::requestAccess(MediaType mediaType, std::function<void(bool)> handler) {
  // Nobody is asked: the answer is what the device allows now.
  const bool granted = authorizationStatus(mediaType) == AuthorizationStatus::authorized;
  dispatch::globalQueue(dispatch::QoS::Default).async([handler = std::move(handler), granted] {
    if (handler) handler(granted);
  });
}

std::optional<DeviceInput> LinuxCaptureSystem::makeDeviceInput(const CaptureDevice& device,
                                                               std::string* error) {
  const auto devices = allDevices();
  const auto known = std::find_if(devices.begin(), devices.end(), [&](const CaptureDevice& d) {
    return d.uniqueID == device.uniqueID;
  });
  if (known == devices.end()) {
    if (error) *error = "The camera \"" + device.localizedName + "\" is not available.";
    return std::nullopt;
  }
  if (options_.recording.empty() && nodeAuthorization(known->uniqueID) != AuthorizationStatus::authorized) {
    if (error) *error = "Not authorized to use " + device.localizedName;
    return std::nullopt;
  }
  return DeviceInput(*known);
}

std::shared_ptr<CaptureSession> LinuxCaptureSystem::makeSession() {
  return linux_detail::makeSession(options_);
}

bool writeRecording(const std::string& path,
                    const std::vector<std::shared_ptr<image::PixelBuffer>>& frames, double fps,
                    std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (frames.empty() || !frames.front()) return fail("no frames");
  const cv::Size size(frames.front()->width(), frames.front()->height());
  cv::VideoWriter writer;
  try {
    writer.open(path, cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size);
  } catch (const cv::Exception&) {
  }
  if (!writer.isOpened()) return fail("cannot write " + path);
  cv::Mat bgr;
  for (const auto& frame : frames) {
    if (!frame || frame->width() != size.width || frame->height() != size.height ||
        frame->pixelFormat() != image::kPixelFormat32BGRA) {
      return fail("every frame must be 32-bit BGRA of the first frame's size");
    }
    image::BaseAddressLock lock(*frame, image::LockFlags::readOnly);
    if (!lock.ok()) return fail("a frame cannot be read");
    const cv::Mat pixels(size, CV_8UC4, const_cast<std::uint8_t*>(frame->baseAddress()),
                         frame->bytesPerRow());
    cv::cvtColor(pixels, bgr, cv::COLOR_BGRA2BGR);
    writer.write(bgr);
  }
  writer.release();
  return true;
}

}  // namespace platform::capture
