// The login window as a target for typed keys: captured only while the screen is locked and
// only when the focused process is the system's genuine login window of this user's session
// (bundle identifier, executable path, owner, start time and code signature), and later
// re-checked to be that same process, still running and still focused.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/workspace/applications.hpp"

namespace quorvel {

// The part of a process's identity that survives a reused process identifier.
struct LoginProcessIdentity {
  std::int32_t pid = 0;
  std::uint64_t startSeconds = 0;
  std::uint64_t startMicroseconds = 0;

  friend bool operator==(const LoginProcessIdentity&, const LoginProcessIdentity&) = default;

 private:
  friend class LoginWindowTarget;
  // The identity of a live process of this user, or no value.
  static std::optional<LoginProcessIdentity> read(std::int32_t pid);
};

class LoginWindowTarget {
 public:
  static constexpr const char* expectedBundleIdentifier = "com.apple.loginwindow";
  static constexpr const char* expectedExecutablePath =
      "/System/Library/CoreServices/loginwindow.app/Contents/MacOS/loginwindow";
  static constexpr const char* codeRequirement = "anchor apple and identifier \"com.apple.loginwindow\"";
  static constexpr float messagingTimeout = 0.15f;

  // The verified login window that has the focus now, or no value.
  static std::shared_ptr<const LoginWindowTarget> capture();

  // Whether the captured process is still the focused login window of a locked session.
  bool isReady() const;

  const std::int32_t pid;
  const std::shared_ptr<platform::workspace::RunningApplication> application;
  const LoginProcessIdentity identity;

 private:
  LoginWindowTarget(std::int32_t pid, std::shared_ptr<platform::workspace::RunningApplication> application,
                    LoginProcessIdentity identity);
  static std::optional<std::int32_t> focusedPID();
  static bool isAppleLoginWindow(std::int32_t pid);
};

}  // namespace quorvel
