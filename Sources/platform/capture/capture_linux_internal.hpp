// Shared by the files of the Linux capture system (never included elsewhere).
#pragma once

#include <opencv2/videoio.hpp>

#include <memory>
#include <string>

#include "platform/capture/capture_linux.hpp"
#include "platform/log/log.hpp"

namespace platform::capture::linux_detail {

// Where the capture system's errors go.
const log::Logger& captureLog();

// Opens a recording and reads its first frame (kept for the next retrieve). False, with the
// cause in `why`, when the file is missing, cannot be decoded or has no frame.
bool openRecording(const std::string& path, cv::VideoCapture& capture, std::string* why);

// A session over the devices (and recording) of `options`.
std::shared_ptr<CaptureSession> makeSession(const LinuxCaptureOptions& options);

}  // namespace platform::capture::linux_detail
