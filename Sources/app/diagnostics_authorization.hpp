// "--authorization-diagnostic" and "--authorization-probe": the authorization-dialog target
// against the system's own authentication dialog. The diagnostic prints the target's report
// once. The probe raises the administrator-authentication dialog itself and watches it for
// 20 seconds: it prints the report whenever it changes, switches the dialog to password entry
// once and, with "--dummy-field-check", writes a fixed dummy text into the password field
// and clears it again. It never types or submits a real password.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/authorization/authorization.hpp"

namespace quorvel {

inline constexpr const char* kAuthorizationProbeSwitch = "--authorization-probe";
inline constexpr const char* kAuthorizationDiagnosticSwitch = "--authorization-diagnostic";
inline constexpr const char* kDummyFieldCheckModifier = "--dummy-field-check";

namespace diagnostics {

// The right whose request makes the system show its administrator dialog.
inline constexpr const char* kAdministratorRight = "authenticate-admin";
inline constexpr platform::authorization::Flags kAdministratorRequestFlags =
    platform::authorization::kAuthorizationFlagInteractionAllowed |
    platform::authorization::kAuthorizationFlagExtendRights |
    platform::authorization::kAuthorizationFlagPreAuthorize;
// How long the probe watches, and how long the run loop turns between two passes.
inline constexpr double kAuthorizationProbeDuration = 20.0;
inline constexpr double kAuthorizationProbePass = 0.5;
// What the dummy check writes into the password field (never a real password).
inline constexpr const char* kDummyFieldText = "Quorvel-DUMMY-ONLY";

// Asks for the administrator right with interaction allowed (blocking while the system's
// dialog is up) and frees the reference with its rights; the answer is not looked at.
// Nothing is asked when no reference can be made.
void requestAdministratorRight();

// Prints the target's report; answers 0. `args` is not read.
int runAuthorizationDiagnostic(const std::vector<std::string>& args, std::ostream& out);

// Answers 2 (after one line) when the screen is locked; otherwise raises the dialog from a
// global queue, watches it from the calling (main) thread until the 20 s deadline and
// answers 0. `args` is the process's whole argument list ("--dummy-field-check" anywhere).
int runAuthorizationProbe(const std::vector<std::string>& args, std::ostream& out);

}  // namespace diagnostics
}  // namespace quorvel
