// The simulated code signing of the tests' machine.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/codesign/codesign.hpp"

namespace platform::codesign {

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

}  // namespace platform::codesign
