// The Linux capture system: discovery of the V4L2 cameras (their capabilities and formats),
// the built-in camera rule, authorisation from the device node, recordings, and writing a
// recording.
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

// Whether the node captures video: as it answers, else by the sysfs index (a camera's
// capture node is index 0, its metadata node 1).
bool capturesVideo(const NodeAnswer& answer, const fs::path& classDir) {
  if (answer.answered) return answer.capturesVideo;
  const std::string index = attribute(classDir / "index");
  return index.empty() || index == "0";
}

// Pixel formats of infrared, grey (luma only) and depth images.
constexpr std::uint32_t kNoColourFormats[] = {
    v4l2_fourcc('G', 'R', 'E', 'Y'), v4l2_fourcc('Y', '0', '4', ' '),
    v4l2_fourcc('Y', '0', '6', ' '), v4l2_fourcc('Y', '1', '0', ' '),
    v4l2_fourcc('Y', '1', '2', ' '), v4l2_fourcc('Y', '1', '4', ' '),
    v4l2_fourcc('Y', '1', '6', ' '), v4l2_fourcc_be('Y', '1', '6', ' '),
    v4l2_fourcc('Y', '1', '0', 'B'), v4l2_fourcc('Y', '1', '0', 'P'),
    v4l2_fourcc('Y', '1', '2', 'P'), v4l2_fourcc('Y', '1', '4', 'P'),
    v4l2_fourcc('i', 'p', '3', 'y'), v4l2_fourcc('Y', '8', ' ', ' '),
    v4l2_fourcc('Y', '8', 'I', ' '), v4l2_fourcc('Y', '1', '2', 'I'),
    v4l2_fourcc('Y', '1', '6', 'I'), v4l2_fourcc('Z', '1', '6', ' '),
    v4l2_fourcc('I', 'N', 'Z', 'I'), v4l2_fourcc('I', 'N', 'V', 'Z'),
    v4l2_fourcc('C', 'N', 'F', '4'),
};

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

NodeAnswer askVideoNode(const std::string& path) {
  NodeAnswer answer;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return answer;
  v4l2_capability capability{};
  if (::ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
    answer.answered = true;
    const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS)
                                   ? capability.device_caps
                                   : capability.capabilities;
    answer.capturesVideo = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; answer.capturesVideo && format.index < 64; ++format.index) {
      if (::ioctl(fd, VIDIOC_ENUM_FMT, &format) != 0) break;
      answer.pixelFormats.push_back(format.pixelformat);
    }
  }
  ::close(fd);
  return answer;
}

bool deliversColour(const std::vector<std::uint32_t>& pixelFormats) {
  return pixelFormats.empty() ||
         std::any_of(pixelFormats.begin(), pixelFormats.end(), [](std::uint32_t format) {
           return std::find(std::begin(kNoColourFormats), std::end(kNoColourFormats), format) ==
                  std::end(kNoColourFormats);
         });
}

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
  std::optional<std::size_t> builtIn, firstColour;
  for (const Node& node : nodes) {
    const std::string path = options_.deviceRoot + "/video" + std::to_string(node.number);
    if (!fs::exists(path, error)) continue;
    const NodeAnswer answer = options_.askNode ? options_.askNode(path) : askVideoNode(path);
    if (!capturesVideo(answer, node.classDir)) continue;
    std::string name = attribute(node.classDir / "name");
    if (name.empty()) name = "video" + std::to_string(node.number);
    if (deliversColour(answer.pixelFormats)) {
      if (!firstColour) firstColour = devices.size();
      if (!builtIn && saysBuiltIn(name, node.classDir)) builtIn = devices.size();
    }
    devices.push_back({path, name, DeviceType::external, DevicePosition::unspecified, false});
  }
  if (const auto chosen = builtIn ? builtIn : firstColour) {
    devices[*chosen].deviceType = DeviceType::builtInWideAngleCamera;
    devices[*chosen].position = DevicePosition::front;
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
