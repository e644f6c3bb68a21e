// Code signing on Linux.
#pragma once

#include "platform/codesign/codesign.hpp"

namespace platform::codesign {

// Linux processes carry no code signatures: a live process has a code object, and only the
// genuine lock screen of our locked login session (platform/logind/login_session.hpp: the
// process that draws the desktop's lock screen, a program known to do so, run from a system
// folder the user cannot write) is taken as signed, by the system and with the login
// window's identifier, "com.apple.loginwindow".
// Likewise a genuine polkit agent (platform/authorization/polkit_agent_linux.hpp) is taken as
// signed by the system with the security agent's identifier, "com.apple.SecurityAgent".
// Every other process is unsigned, so no requirement is met.
class LinuxCodeSigning : public CodeSigning {
 public:
  OSStatus copyGuestWithAttributes(const GuestAttributes& attributes,
                                   std::shared_ptr<Code>* code) override;
  OSStatus createRequirementWithString(const std::string& text,
                                       std::shared_ptr<Requirement>* requirement) override;
  OSStatus checkValidity(const Code& code, const Requirement& requirement) override;
};

}  // namespace platform::codesign
