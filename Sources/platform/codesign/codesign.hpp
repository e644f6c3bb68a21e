// Code signing: the code object of a running process (as a guest of the system), code
// requirements written in the requirement language, and the check of a code object's
// signature against a requirement. The requirement language understood here is the part the
// system uses: clauses `anchor apple`, `anchor apple generic` and `identifier "..."` joined
// by `and`.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::codesign {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSInvalidAttributeValues = -67066;
inline constexpr OSStatus errSecCSInvalidObjectRef = -67071;

// How a piece of code is signed.
struct Signature {
  bool isSigned = false;
  bool intact = true;        // the signature still matches the code
  bool anchorApple = false;  // signed by Apple's own anchor
  bool appleGeneric = false; // chains to Apple's root (Apple or a developer it certified)
  std::string identifier;
};

// A running process's code, as the system saw it when the object was made.
struct Code {
  std::int32_t pid = 0;
  Signature signature;
};

// A parsed requirement.
struct Requirement {
  std::string text;
  bool anchorApple = false;
  bool anchorAppleGeneric = false;
  std::optional<std::string> identifier;
  bool contradictory = false;
};

// Parses requirement text; errSecCSReqInvalid for text outside the understood subset.
OSStatus parseRequirement(const std::string& text, Requirement* requirement);
// Whether a signature satisfies a requirement (ignoring whether it is intact).
bool satisfies(const Signature& signature, const Requirement& requirement);

struct GuestAttributes {
  std::optional<std::int32_t> pid;
};

class CodeSigning {
 public:
  virtual ~CodeSigning() = default;
  virtual OSStatus copyGuestWithAttributes(const GuestAttributes& attributes,
                                           std::shared_ptr<Code>* code) = 0;
  virtual OSStatus createRequirementWithString(const std::string& text,
                                               std::shared_ptr<Requirement>* requirement) = 0;
  virtual OSStatus checkValidity(const Code& code, const Requirement& requirement) = 0;
};

// Signatures of the tests' processes; a process without one is not known to the system.
class SimulatedCodeSigning : public CodeSigning {
 public:
  OSStatus copyGuestWithAttributes(const GuestAttributes& attributes,
                                   std::shared_ptr<Code>* code) override;
  OSStatus createRequirementWithString(const std::string& text,
                                       std::shared_ptr<Requirement>* requirement) override;
  OSStatus checkValidity(const Code& code, const Requirement& requirement) override;

  void setSignature(std::int32_t pid, Signature signature);
  void removeProcess(std::int32_t pid);
  // Makes every guest look-up fail with `status` (success restores it).
  void setGuestFailure(OSStatus status);
  std::vector<std::string> requirementTexts() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::int32_t, Signature> signatures_;
  OSStatus guestFailure_ = errSecSuccess;
  std::vector<std::string> requirementTexts_;
};

// Linux processes carry no code signatures: a live process has a code object, and only the
// genuine lock screen of our locked login session (platform/logind/login_session.hpp: the
// screen-saver service's owner, run from a system folder the user cannot write) is taken as
// signed, by the system and with the login window's identifier, "com.apple.loginwindow".
// Every other process is unsigned, so no requirement is met.
class LinuxCodeSigning : public CodeSigning {
 public:
  OSStatus copyGuestWithAttributes(const GuestAttributes& attributes,
                                   std::shared_ptr<Code>* code) override;
  OSStatus createRequirementWithString(const std::string& text,
                                       std::shared_ptr<Requirement>* requirement) override;
  OSStatus checkValidity(const Code& code, const Requirement& requirement) override;
};

std::shared_ptr<CodeSigning> current();
void install(std::shared_ptr<CodeSigning> signing);

}  // namespace platform::codesign
