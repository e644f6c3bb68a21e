#include "selftest/self_test.hpp"

#include <exception>

#include "platform/bundle/bundle.hpp"
#include "recognition/native_dlib.hpp"

namespace quorvel {

std::vector<SelfTest::Check> SelfTest::runAll(bool includeAppKit) {
  std::vector<Check> checks;
  // A group that throws never ends the run: in place of its checks it gives one failed check
  // carrying the message, and the next group runs.
  auto append = [&checks](const char* group, std::vector<Check> (*make)()) {
    try {
      for (auto& check : make()) checks.push_back(std::move(check));
    } catch (const std::exception& error) {
      checks.push_back({std::string(group) + ": a check stopped with an error", false, error.what()});
    } catch (...) {
      checks.push_back({std::string(group) + ": a check stopped with an error", false, "unknown error"});
    }
  };
  append("Alignment", alignmentChecks);
  append("Tensor", tensorChecks);
  append("Crypto", cryptoChecks);
  append("Storage", storageChecks);
  append("Match", matchChecks);
  if (includeAppKit) append("Window focus", windowFocusChecks);
  append("Model", modelChecks);
  append("Engine", engineChecks);
  append("Native dlib", nativeDlibChecks);
  append("Match test", matchTestTextChecks);
  append("Palm gesture", palmGestureChecks);
  append("Enrolment", enrolmentRingChecks);
  append("Lock state", lockStateChecks);
  if (includeAppKit) append("Unlock safety", unlockSafetyChecks);
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
