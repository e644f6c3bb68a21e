#include "platform/codesign/simulated_codesign.hpp"

namespace platform::codesign {

OSStatus SimulatedCodeSigning::copyGuestWithAttributes(const GuestAttributes& attributes,
                                                       std::shared_ptr<Code>* code) {
  if (!code) return errSecCSInvalidObjectRef;
  code->reset();
  std::lock_guard<std::mutex> lock(mutex_);
  if (guestFailure_ != errSecSuccess) return guestFailure_;
  if (!attributes.pid) return errSecCSInvalidAttributeValues;
  auto found = signatures_.find(*attributes.pid);
  if (found == signatures_.end()) return errSecCSNoSuchCode;
  *code = std::make_shared<Code>(Code{*attributes.pid, found->second});
  return errSecSuccess;
}

OSStatus SimulatedCodeSigning::createRequirementWithString(const std::string& text,
                                                           std::shared_ptr<Requirement>* requirement) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requirementTexts_.push_back(text);
  }
  if (!requirement) return errSecCSInvalidObjectRef;
  Requirement parsed;
  const OSStatus status = parseRequirement(text, &parsed);
  if (status != errSecSuccess) return status;
  *requirement = std::make_shared<Requirement>(parsed);
  return errSecSuccess;
}

OSStatus SimulatedCodeSigning::checkValidity(const Code& code, const Requirement& requirement) {
  if (!code.signature.isSigned) return errSecCSUnsigned;
  if (!code.signature.intact) return errSecCSSignatureFailed;
  return satisfies(code.signature, requirement) ? errSecSuccess : errSecCSReqFailed;
}

void SimulatedCodeSigning::setSignature(std::int32_t pid, Signature signature) {
  std::lock_guard<std::mutex> lock(mutex_);
  signatures_[pid] = std::move(signature);
}

void SimulatedCodeSigning::removeProcess(std::int32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  signatures_.erase(pid);
}

void SimulatedCodeSigning::setGuestFailure(OSStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  guestFailure_ = status;
}

std::vector<std::string> SimulatedCodeSigning::requirementTexts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requirementTexts_;
}

}  // namespace platform::codesign
