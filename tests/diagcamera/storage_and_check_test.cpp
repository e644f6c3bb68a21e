// "--diagnose-storage" (the throw-away Keychain item) and "--check" (the readiness checklist)
// on the simulated machine.
#include <gtest/gtest.h>

#include <sstream>

#include "app/diagnostics_camera.hpp"
#include "foundation/build_flavour.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "platform/capture/simulated_capture.hpp"
#include "platform/keychain/simulated_keychain.hpp"
#include "recognition/face_models.hpp"
#include "support/B_helpers.hpp"
#include "support/E_printed_lines.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_display.hpp"
#include "support/ui_updater_hooks.hpp"

namespace quorvel::testing {
namespace {

namespace diag = quorvel::diagnostics;
using platform::keychain::Accessibility;
using platform::keychain::Bytes;
using platform::keychain::OSStatus;

constexpr const char* kService = "com.tessmin.quorvel";

// Records every add (with what was written) and every delete, in order.
class RecordingKeychain : public platform::keychain::SimulatedKeychain {
 public:
  OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
               Accessibility accessibility) override {
    const OSStatus status = SimulatedKeychain::add(service, account, value, accessibility);
    journal.push_back("add " + service + "/" + account + " " + std::string(value.begin(), value.end()) +
                      " " + platform::keychain::attributeValue(accessibility) + " -> " +
                      std::to_string(status));
    return status;
  }
  OSStatus remove(const std::string& service, const std::string& account) override {
    const OSStatus status = SimulatedKeychain::remove(service, account);
    journal.push_back("delete " + service + "/" + account + " -> " + std::to_string(status));
    return status;
  }
  std::vector<std::string> journal;
};

class StorageDiagnosticTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    keychain = std::make_shared<RecordingKeychain>();
    platform::keychain::install(keychain);
  }
  int run() {
    out.str("");
    return diag::runDiagnoseStorage(argv(diag::kDiagnoseStorageSwitch), out);
  }
  std::shared_ptr<RecordingKeychain> keychain;
  std::ostringstream out;
};

// A probe left over is deleted first (without that the add would find a duplicate).
TEST_F(StorageDiagnosticTest, DeletesALeftOverProbeWritesOneReportsSuccessAndDeletesItAgain) {
  keychain->put(kService, "password", Bytes{'s', 'e', 'c'});
  keychain->put(kService, "diagnosticProbe", Bytes{'o', 'l', 'd'}, Accessibility::afterFirstUnlock);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(printedLines(out.str()),
            (std::vector<std::string>{"Keychain SecItemAdd status: 0 (No error.)",
                                      "  wrote and cleaned up a probe item successfully"}));
  EXPECT_EQ(keychain->journal,
            (std::vector<std::string>{"delete com.tessmin.quorvel/diagnosticProbe -> 0",
                                      "add com.tessmin.quorvel/diagnosticProbe probe ak -> 0",
                                      "delete com.tessmin.quorvel/diagnosticProbe -> 0"}));
  EXPECT_FALSE(keychain->item(kService, "diagnosticProbe"));
  ASSERT_TRUE(keychain->item(kService, "password")) << "other items are left alone";
  EXPECT_EQ(keychain->item(kService, "password")->value, (Bytes{'s', 'e', 'c'}));
  EXPECT_EQ(simulatedApplication().obtainedCount(), 1);
  EXPECT_TRUE(simulatedApplication().policyRequests().empty());
}

TEST_F(StorageDiagnosticTest, ARefusedAddPrintsItsStatusAndMessageOnlyAndStillSucceeds) {
  const std::pair<OSStatus, std::string> refusals[] = {
      {-25293, "The user name or passphrase you entered is not correct."},
      {-34018, "A required entitlement isn't present."},
      {-128, "User canceled the operation."},
      {-4242, "OSStatus -4242"},
  };
  for (const auto& [status, message] : refusals) {
    keychain->journal.clear();
    keychain->refuseWrites(status, "diagnosticProbe");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(printedLines(out.str()),
              std::vector<std::string>{"Keychain SecItemAdd status: " + std::to_string(status) +
                                       " (" + message + ")"});
    EXPECT_EQ(keychain->journal,
              (std::vector<std::string>{"delete com.tessmin.quorvel/diagnosticProbe -> " + std::to_string(status),
                                        "add com.tessmin.quorvel/diagnosticProbe probe ak -> " +
                                            std::to_string(status)}))
        << "no delete after a failed add";
    EXPECT_EQ(keychain->itemCount(), 0u);
    keychain->clearFaults();
  }
}

TEST_F(StorageDiagnosticTest, AProbeLeftOverThatCannotBeDeletedMakesTheAddADuplicate) {
  class StickyKeychain : public RecordingKeychain {
    OSStatus remove(const std::string&, const std::string&) override { return -25308; }
  };
  auto sticky = std::make_shared<StickyKeychain>();
  sticky->put(kService, "diagnosticProbe", Bytes{'x'});
  platform::keychain::install(sticky);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(printedLines(out.str()),
            std::vector<std::string>{"Keychain SecItemAdd status: -25299 (The specified item "
                                     "already exists in the keychain.)"});
}

// --- the checklist ---

TEST(ChecklistLine, ALabelLongerThanThirtySixCharactersIsCut) {
  const std::string label36(36, 'x');
  EXPECT_EQ(diag::checklistLine(label36 + "yz", true, "d"), "  yes   " + label36 + " d");
}

class CheckTest : public PlatformTest {
 protected:
  int run() {
    out.str("");
    return diag::runCheck(argv(diag::kCheckSwitch), out);
  }
  static std::string row(const std::string& verdict, const std::string& label, const std::string& detail) {
    std::string padded = label;
    padded.resize(36, ' ');
    return "  " + verdict + "   " + padded + " " + detail;
  }
  // The whole checklist: each row's verdict and detail, in the rows' order, then the verdict.
  static std::vector<std::string> checklist(const std::vector<std::pair<std::string, std::string>>& rows,
                                            const std::string& ready) {
    static const char* const labels[] = {"Built-in camera found", "Camera permission granted",
                                         "Accessibility permission granted", "Animation can draw over lock screen",
                                         "Face model", "Face enrolled", "Password saved", "Models loaded"};
    std::vector<std::string> lines{""};
    for (std::size_t i = 0; i < rows.size(); ++i) lines.push_back(row(rows[i].first, labels[i], rows[i].second));
    lines.insert(lines.end(), {"", "  Ready to unlock: " + ready, ""});
    return lines;
  }
  std::ostringstream out;
};

TEST_F(CheckTest, AReadyMachinePassesEveryRow) {
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(
      {descriptor(0.1f), descriptor(0.2f), descriptor(0.3f)}, RecognitionEngine::dlib));
  ASSERT_TRUE(PasswordVault::set("correct horse 7"));
  Settings::shared().setUnlockEnabled(true);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(printedLines(out.str()),
            checklist({{"yes", "FaceTime HD Camera"}, {"yes", "authorized"}, {"yes", ""},
                       {"yes", "SkyLight space at level 400"}, {"yes", "dlib (public domain)"},
                       {"yes", "3 samples for this model"}, {"yes", ""}, {"yes", ""}},
                      "yes"));
  // Nothing was started or asked for.
  EXPECT_EQ(simulatedCamera().startsRequested(), 0);
  EXPECT_EQ(simulatedCamera().accessRequests(), 0);
  EXPECT_TRUE(simulatedApplication().policyRequests().empty());
  EXPECT_TRUE(simulatedApplication().activations().empty());
  EXPECT_FALSE(FaceModels::shared().loadFailed());
}

TEST_F(CheckTest, AMachineWhereEverythingIsMissingFailsEveryRowButTheModelAndStillExitsWithZero) {
  simulatedCamera().setDevices({platform::capture::SimulatedCaptureSystem::continuityCameraDevice()});
  simulatedCamera().setAuthorizationStatus(platform::capture::AuthorizationStatus::denied);
  lockMachine().accessibility().setTrusted(false);
  removeSkyLight();
  FaceModels::shared().prewarm();  // the test bundle has no dlib weights
  runUntilIdle();
  ASSERT_TRUE(FaceModels::shared().loadFailed());
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(printedLines(out.str()),
            checklist({{" no", "none"}, {" no", "denied — must be re-enabled in System Settings"},
                       {" no", "needed to type the password"}, {" no", "animation disabled"},
                       {"yes", "dlib (public domain)"}, {" no", "0 samples for this model"}, {" no", ""}, {" no", ""}},
                      "Face models failed to load"));
}

// The blocker's order is the coordinator's own (tests/coordinator); the rows follow the
// selected engine.
TEST_F(CheckTest, TheSelectedEngineDecidesTheModelAndEnrolmentRows) {
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled({descriptor(0.1f), descriptor(0.2f)},
                                                       RecognitionEngine::arcface));
  ASSERT_EQ(Settings::shared().recognitionEngine(), RecognitionEngine::dlib);
  simulatedCamera().setAuthorizationStatus(platform::capture::AuthorizationStatus::notDetermined);
  EXPECT_EQ(run(), 0);
  std::vector<std::string> lines = printedLines(out.str());
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[2], row(" no", "Camera permission granted", "not yet asked"));
  EXPECT_EQ(lines[5], row("yes", "Face model", "dlib (public domain)"));
  EXPECT_EQ(lines[6], row(" no", "Face enrolled", "0 samples for this model"));
  EXPECT_EQ(lines[10], "  Ready to unlock: Set up your face first");

  if (BuildFlavour::isDeveloper) {
    Settings::shared().setRecognitionEngine(RecognitionEngine::arcface);
    EXPECT_EQ(run(), 0);
    lines = printedLines(out.str());
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[5], row("yes", "Face model", "ArcFace (personal use only)"));
    EXPECT_EQ(lines[6], row("yes", "Face enrolled", "2 samples for this model"));
  }
}

}  // namespace
}  // namespace quorvel::testing
