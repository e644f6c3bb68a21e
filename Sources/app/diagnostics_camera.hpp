// The diagnostics that look at the live system from a terminal: "--request-camera" (ask for
// camera access), "--diagnose-storage" (write and delete a throw-away Keychain item),
// "--diagnose-palm" (count open-hand frames from the camera for 8 s), "--diagnose-camera"
// (model and enrolment state, then one 4-second match test) and "--check" (the readiness
// checklist).
//
// `args` is the process's whole argument list (nothing further is read from it). Each prints
// plain lines on `out` and answers the process's exit status; the bodies that run the main
// run loop end it with that status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quorvel::diagnostics {

inline constexpr const char* kRequestCameraSwitch = "--request-camera";
inline constexpr const char* kDiagnoseStorageSwitch = "--diagnose-storage";
inline constexpr const char* kDiagnosePalmSwitch = "--diagnose-palm";
inline constexpr const char* kDiagnoseCameraSwitch = "--diagnose-camera";
inline constexpr const char* kCheckSwitch = "--check";

// The account of the storage diagnostic's throw-away item.
inline constexpr const char* kStorageProbeAccount = "diagnosticProbe";
// How long the palm diagnostic watches the camera.
inline constexpr double kPalmWatchSeconds = 8.0;

// "Camera authorised: true (authorized)".
std::string cameraPermissionLine();

// One checklist row: two spaces, "yes" or " no", three spaces, the label padded (or cut) to
// 36 characters, one space, the detail.
std::string checklistLine(const std::string& label, bool passed, const std::string& detail);

// 0 when access is granted, 1 when denied.
int runRequestCamera(const std::vector<std::string>& args, std::ostream& out);
// Always 0.
int runDiagnoseStorage(const std::vector<std::string>& args, std::ostream& out);
// 1 when the camera does not start; otherwise 0 after 8 s.
int runDiagnosePalm(const std::vector<std::string>& args, std::ostream& out);
// 1 when the match test saw no frame at all, else 0.
int runDiagnoseCamera(const std::vector<std::string>& args, std::ostream& out);
// Always 0.
int runCheck(const std::vector<std::string>& args, std::ostream& out);

}  // namespace quorvel::diagnostics
