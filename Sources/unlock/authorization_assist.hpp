// The assist for the system's authorization dialogs (the dialogs that ask for the user's
// password to approve a system change). It is switched off in this build: neither enabled nor
// available, its start does nothing, and it never makes a dialog target, a face scan or a
// timer. Its cancel step still runs on every lock and sleep, and finds nothing to cancel.
//
// `AuthorizationSubmission` holds the guarded order in which a password is written into such
// a dialog; the authorization-dialog target uses it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/recognition_engine.hpp"
#include "platform/accessibility/accessibility.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/uuid/uuid.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/match_engine.hpp"
#include "unlock/unlock_session.hpp"

namespace quorvel {

class AuthorizationTarget;

class AuthorizationAssist {
 public:
  // The user-defaults key the `enabled` setter writes; nothing reads it.
  static constexpr const char* localTestKey = "authorizationAssistLocalTest";
  // Seconds since 2001 of the earliest representable date.
  static constexpr double distantPast = -63114076800.0;

  static AuthorizationAssist& shared();

  // Always false. The setter writes `value` under `localTestKey` and changes nothing else.
  static bool enabled();
  static void setEnabled(bool value);
  // Always false, so the menu never offers the assist's switch.
  static bool available();

  // Does nothing.
  void start();
  // Drops any face scan, field and overlay the assist holds. Main thread.
  void cancel();

  // "Off".
  const std::string& status() const { return status_; }

  AuthorizationAssist(const AuthorizationAssist&) = delete;
  AuthorizationAssist& operator=(const AuthorizationAssist&) = delete;
  ~AuthorizationAssist();

 private:
  class AuthorizationFaceScan;
  friend struct AuthorizationAssistInspection;

  AuthorizationAssist();
  // Logs the new status when it differs from the old one.
  void setStatus(const std::string& status);

  std::shared_ptr<platform::dispatch::Timer> timer_;
  std::shared_ptr<const AuthorizationTarget> attempted_;
  std::unique_ptr<AuthorizationFaceScan> scanner_;
  std::optional<platform::uuid::UUID> token_;
  double deadline_ = distantPast;
  std::optional<platform::accessibility::Element> field_;
  // True would mean the assist, not the unlock coordinator, put the overlay up.
  bool ownsOverlay_ = false;
  std::string status_ = "Off";
};

// The face scan the assist would run while a dialog waits; never made in this build.
class AuthorizationAssist::AuthorizationFaceScan {
 public:
  AuthorizationFaceScan(std::shared_ptr<CameraSession> camera, RecognitionEngine selected,
                        std::vector<FaceDescriptor> enrolled)
      : camera(std::move(camera)), selected(selected), engine(spec(selected)), enrolled(std::move(enrolled)) {}

  std::shared_ptr<CameraSession> camera;
  UnlockSession session;
  RecognitionEngine selected;
  MatchEngine engine;
  std::vector<FaceDescriptor> enrolled;
  long palmFrames = 0;
};

namespace AuthorizationSubmission {

// Reads the password only when `ready`, writes it only after a second `ready`, and confirms
// only after a third; false at the first failure, else what `confirm` gives.
bool perform(const std::function<bool()>& ready, const std::function<std::optional<std::string>()>& read,
             const std::function<bool(const std::string&)>& write, const std::function<bool()>& confirm);

}  // namespace AuthorizationSubmission

}  // namespace quorvel
