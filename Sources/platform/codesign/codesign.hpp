// Code signing: the code object of a running process (as a guest of the system), code
// requirements written in the requirement language, and the check of a code object's
// signature against a requirement. The requirement language understood here is the part the
// system uses: clauses `anchor apple`, `anchor apple generic` and `identifier "..."` joined
// by `and`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

std::shared_ptr<CodeSigning> current();
void install(std::shared_ptr<CodeSigning> signing);

}  // namespace platform::codesign
