#include "platform/codesign/codesign_linux.hpp"

#include <sys/stat.h>

#include "platform/authorization/polkit_agent_linux.hpp"
#include "platform/logind/login_session.hpp"

namespace platform::codesign {

namespace {
constexpr const char* kLoginWindowIdentifier = "com.apple.loginwindow";
}  // namespace

OSStatus LinuxCodeSigning::copyGuestWithAttributes(const GuestAttributes& attributes,
                                                   std::shared_ptr<Code>* code) {
  if (!code) return errSecCSInvalidObjectRef;
  code->reset();
  if (!attributes.pid) return errSecCSInvalidAttributeValues;
  if (*attributes.pid < 1) return errSecCSNoSuchCode;
  struct stat info {};
  if (::stat(("/proc/" + std::to_string(*attributes.pid)).c_str(), &info) != 0) return errSecCSNoSuchCode;
  Signature signature;
  const auto lockScreen = logind::LoginSession::shared()->lockScreen();
  if (lockScreen && lockScreen->genuine && lockScreen->pid == *attributes.pid) {
    signature = Signature{true, true, true, true, kLoginWindowIdentifier};
  } else if (authorization::isGenuineAgent(*attributes.pid)) {
    signature = Signature{true, true, true, true, authorization::kSecurityAgentIdentifier};
  }
  *code = std::make_shared<Code>(Code{*attributes.pid, signature});
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::createRequirementWithString(const std::string& text,
                                                       std::shared_ptr<Requirement>* requirement) {
  if (!requirement) return errSecCSInvalidObjectRef;
  Requirement parsed;
  const OSStatus status = parseRequirement(text, &parsed);
  if (status != errSecSuccess) return status;
  *requirement = std::make_shared<Requirement>(parsed);
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::checkValidity(const Code& code, const Requirement& requirement) {
  if (!code.signature.isSigned) return errSecCSUnsigned;
  return satisfies(code.signature, requirement) ? errSecSuccess : errSecCSReqFailed;
}

}  // namespace platform::codesign
