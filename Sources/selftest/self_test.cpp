#include "selftest/self_test.hpp"

#include "platform/bundle/bundle.hpp"
#include "recognition/native_dlib.hpp"

namespace quorvel {

std::vector<SelfTest::Check> SelfTest::runAll(bool includeAppKit) {
  std::vector<Check> checks;
  auto append = [&checks](std::vector<Check> group) {
    for (auto& check : group) checks.push_back(std::move(check));
  };
  append(alignmentChecks());
  append(tensorChecks());
  append(cryptoChecks());
  append(storageChecks());
  append(matchChecks());
  if (includeAppKit) append(windowFocusChecks());
  append(modelChecks());
  append(engineChecks());
  append(nativeDlibChecks());
  append(matchTestTextChecks());
  append(palmGestureChecks());
  append(enrolmentRingChecks());
  append(lockStateChecks());
  if (includeAppKit) append(unlockSafetyChecks());
  return checks;
}

bool SelfTest::report(const std::vector<Check>& checks, std::ostream& out) {
  out << "\n" << std::flush;
  std::size_t passed = 0;
  for (const auto& check : checks) {
    if (check.passed) ++passed;
    out << (check.passed ? "  PASS" : "  FAIL") << "  " << check.name << "\n";
    out << "        " << check.detail << "\n" << std::flush;
  }
  out << "\n";
  out << "  " << passed << " of " << checks.size() << " checks passed\n";
  out << "\n" << std::flush;
  if (passed == checks.size()) return true;
  out << "  Failed:\n";
  for (const auto& check : checks) {
    if (!check.passed) out << "    - " << check.name << ": " << check.detail << "\n";
  }
  out << "\n" << std::flush;
  return false;
}

namespace diagnostics {

int runSelfTest(const std::vector<std::string>& /*args*/, std::ostream& out) {
  if (auto bundle = platform::bundle::current()) {
    if (auto weights = bundle->url(kSelfTestDlibResource, kSelfTestDlibResourceType)) {
      NativeDlib::load(*weights);
    }
  }
  return SelfTest::report(SelfTest::runAll(false), out) ? 0 : 1;
}

}  // namespace diagnostics
}  // namespace quorvel
