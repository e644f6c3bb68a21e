// The Linux capture system: the machine's V4L2 cameras, or one recording standing in for
// the camera, read through OpenCV's video I/O.
//
// Devices. Every /dev/videoN that can capture video counts, named as its driver names it
// (/sys/class/video4linux/videoN/name): VIDIOC_QUERYCAP says whether the node captures video;
// a node that cannot be asked (closed to the user) counts when sysfs gives its index as 0 (a
// camera's metadata node has index 1). The built-in camera, the one sessions use, is a
// colour camera: a node whose capture formats (VIDIOC_ENUM_FMT) are all infrared, grey or
// depth formats (GREY, Y10, Y16, Y8I, Z16, ...: a laptop's infrared face camera, a depth
// camera) never is; a node whose formats cannot be read may be. It is the first colour
// capture device that says it is built in: its USB port is reported "fixed" (wired inside
// the machine) or its name contains "integrated", "built-in" or "internal"; when none says
// so, the first colour capture device. It is a front wide-angle camera; the others are
// external cameras.
//
// Authorisation. Linux asks no question: the answer is what the built-in camera's node
// allows. Readable and writable: authorised; EACCES: denied; EPERM (a security policy):
// restricted. With no camera, or a recording, authorised. A request for access asks nobody
// and answers with the status.
//
// Recordings. With `recording` set (QUORVEL_CAMERA) the system presents exactly one camera,
// built in, named "Recording <file name>", that plays the recording: a video file OpenCV can
// decode (an MJPEG AVI such as cv::VideoWriter writes needs no external codec; FFmpeg's
// formats work too) or a numbered image sequence given as a printf pattern
// ("frames/face%03d.png", read by OpenCV's image-sequence reader). Frames come at the
// recording's frame rate (QUORVEL_CAMERA_FPS overrides it; 30 when the recording has none,
// as image sequences do), from one frame interval after the start. At its end the recording
// starts over when `loop` is set (QUORVEL_CAMERA_LOOP=1); otherwise the session ends as
// when a camera goes away. A recording that is missing, cannot be decoded or has no frame
// is no camera at all (discovery finds none), with an error line naming the cause.
//
// Sessions. Frames are read on a capture queue of the session's own (a thread with the real
// scheduler), converted to 32-bit BGRA and handed to the output's delegate on its queue.
// Camera frames come as fast as the device sends them, each read bounded (OpenCV's V4L2
// select timeout, set to 2 s unless OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT says otherwise);
// recording frames are paced by the scheduler's clock, so in virtual time they come exactly
// at their times. A frame read while an earlier one is still queued or handled is dropped
// when the output discards late frames (the default), without being decoded. The camera is
// asked for the preset's size (1280 x 720 for the high preset) in MJPEG and gives the
// nearest size it offers; a recording plays at its own size. When the device goes away or a
// read fails mid-session, the session stops by itself (`isRunning()` turns false, no frame
// follows) and an error line says why; a later start opens the camera again.
//
// Errors are logged under the subsystem "com.tessmin.quorvel.platform", category "capture".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/capture.hpp"

namespace platform::capture {

// What a video node answers about itself.
struct NodeAnswer {
  bool answered = false;      // false: it could not be opened or asked
  bool capturesVideo = false;  // VIDIOC_QUERYCAP: it captures video
  std::vector<std::uint32_t> pixelFormats;  // VIDIOC_ENUM_FMT: its capture formats (fourccs)
};
// Asks the node at `path`.
NodeAnswer askVideoNode(const std::string& path);
// Whether a node offering `pixelFormats` delivers colour: true unless every format is an
// infrared, grey or depth format (and true for an empty list, which says nothing).
bool deliversColour(const std::vector<std::uint32_t>& pixelFormats);

struct LinuxCaptureOptions {
  std::string recording;       // QUORVEL_CAMERA: a video file or a numbered image pattern
  bool loop = false;           // QUORVEL_CAMERA_LOOP=1: play the recording over and over
  double frameRate = 0;        // QUORVEL_CAMERA_FPS; 0: the recording's own rate
  std::string sysfsRoot = "/sys";
  std::string deviceRoot = "/dev";
  // How a node under `deviceRoot` is asked; `askVideoNode` when empty.
  std::function<NodeAnswer(const std::string& path)> askNode;

  // The options the process environment gives.
  static LinuxCaptureOptions fromEnvironment();
};

class LinuxCaptureSystem : public CaptureSystem {
 public:
  explicit LinuxCaptureSystem(LinuxCaptureOptions options = LinuxCaptureOptions::fromEnvironment());

  std::vector<CaptureDevice> discoverDevices(const std::vector<DeviceType>& types,
                                             MediaType mediaType,
                                             DevicePosition position) override;
  AuthorizationStatus authorizationStatus(MediaType mediaType) override;
  void requestAccess(MediaType mediaType, std::function<void(bool)> handler) override;
  std::optional<DeviceInput> makeDeviceInput(const CaptureDevice& device,
                                             std::string* error) override;
  std::shared_ptr<CaptureSession> makeSession() override;

 private:
  // Every capture device, the built-in one marked, in node order.
  std::vector<CaptureDevice> allDevices();

  LinuxCaptureOptions options_;
};

// Writes `frames` (32-bit BGRA, all of the first frame's size) as an MJPEG AVI at `fps`, a
// recording the Linux capture system plays; false, with the reason in `error`, when it
// cannot be written.
bool writeRecording(const std::string& path,
                    const std::vector<std::shared_ptr<image::PixelBuffer>>& frames, double fps,
                    std::string* error = nullptr);

}  // namespace platform::capture
