// The built-in self-test: a fixed list of checks of the program's own invariants, each on a
// synthetic input of its own, and the report that prints their outcome. It needs no camera
// and no user; the storage checks work on a throw-away file in the temporary folder.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quorvel {

struct SelfTest {
  SelfTest() = delete;

  // One check's outcome. An input a check cannot build is a failed check whose detail says
  // so; a group that throws is reported by `runAll` as a failed check with the message.
  struct Check {
    std::string name;
    bool passed = false;
    std::string detail;
  };

  // Every check, in the report's order, run synchronously on the calling thread.
  static std::vector<Check> runAll(bool includeAppKit);

  // Prints the results (two lines a check, the summary and the failed list) and returns true
  // when every check passed.
  static bool report(const std::vector<Check>& checks, std::ostream& out);

  // The groups, each in its own fixed order.
  static std::vector<Check> alignmentChecks();
  static std::vector<Check> tensorChecks();
  static std::vector<Check> matchChecks();
  static std::vector<Check> engineChecks();
  static std::vector<Check> nativeDlibChecks();
  static std::vector<Check> cryptoChecks();
  static std::vector<Check> storageChecks();
  static std::vector<Check> modelChecks();
  // The model group of a developer build (the recognition and liveness models run).
  static std::vector<Check> developerModelChecks();
  static std::vector<Check> matchTestTextChecks();
  static std::vector<Check> palmGestureChecks();
  static std::vector<Check> enrolmentRingChecks();
  static std::vector<Check> lockStateChecks();
  // Need a window server (only with `includeAppKit`).
  static std::vector<Check> windowFocusChecks();
  static std::vector<Check> unlockSafetyChecks();
};

namespace diagnostics {

inline constexpr const char* kSelfTestSwitch = "--self-test";
// Where the dlib weights are looked for in the bundle.
inline constexpr const char* kSelfTestDlibResource = "dlib_face_recognition_resnet_model_v1";
inline constexpr const char* kSelfTestDlibResourceType = "dat";

// Loads the dlib weights from the bundle when it has them, runs every check, prints the
// report to `out` and returns the process's exit status: 0 when every check passed, else 1.
int runSelfTest(const std::vector<std::string>& args, std::ostream& out);

}  // namespace diagnostics
}  // namespace quorvel
