// The authorization switches on the simulated machine, in virtual time: the probe's printed
// lines and exit status on every road (screen locked, no dialog, a genuine dialog switched to
// password entry, a dialog already asking for the password, the dummy write and its
// failures, impostors, slow agents, a cancelled request), the administrator-right request
// it makes, and the one-shot report.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/diagnostics_authorization.hpp"
#include "platform/accessibility/simulated_user_interface.hpp"
#include "platform/authorization/authorization.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_authorization.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_security_agent.hpp"

namespace {

namespace auth = platform::authorization;
namespace ax = platform::accessibility;
namespace dispatch = platform::dispatch;
using quorvel::testing::lockMachine;
using quorvel::testing::simulatedAuthorization;
using quorvel::testing::SimulatedSecurityAgent;
using Dialog = SimulatedSecurityAgent::Dialog;
using DialogSpec = SimulatedSecurityAgent::DialogSpec;
using Kind = auth::SimulatedAuthorization::Kind;

constexpr const char* kLockedLine = "Unlock this Mac before running the authorization probe.";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

DialogSpec passwordDialog() {
  DialogSpec spec;
  spec.offersTouchID = false;
  return spec;
}

class AuthorizationProbeTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    agent_ = std::make_unique<SimulatedSecurityAgent>(lockMachine());
    // The agent shows the dialog when the request is made and takes it away when answered.
    simulatedAuthorization().setOnPresent([this] {
      dialog_ = &agent_->showDialog(spec_);
      if (onShown_) onShown_(*dialog_);
    });
    simulatedAuthorization().setOnDismiss([this] {
      if (dialog_) agent_->close(*dialog_);
    });
  }
  void TearDown() override {
    simulatedAuthorization().setOnPresent(nullptr);
    simulatedAuthorization().setOnDismiss(nullptr);
    impostor_.reset();
    agent_.reset();
    PlatformTest::TearDown();
  }

  int probe(std::vector<std::string> args = {"quorvel", "--authorization-probe"}) {
    std::ostringstream out;
    const double start = dispatch::now();
    const int status = quorvel::diagnostics::runAuthorizationProbe(args, out);
    elapsed_ = dispatch::now() - start;
    output_ = out.str();
    return status;
  }
  int probeWithDummyCheck() { return probe({"quorvel", "--dummy-field-check", "--authorization-probe"}); }

  std::string pidLine(const SimulatedSecurityAgent& agent, bool verified = true) const {
    return "SecurityAgent pid " + std::to_string(agent.pid()) +
           ", Apple signature verified: " + (verified ? "true" : "false");
  }
  std::vector<std::string> report(std::vector<std::string> windows, bool locked = false) const {
    std::vector<std::string> result{"Accessibility trusted: true", std::string("Locked: ") + (locked ? "true" : "false"),
                                    pidLine(*agent_), "Accessible windows: " + std::to_string(windows.size())};
    for (auto& window : windows) {
      for (auto& line : lines(window)) result.push_back(line);
    }
    return result;
  }
  static std::string touchIDWindow() { return "Password fallback: true; secure field: false; own account: false"; }
  static std::string passwordWindow(bool ready = true) {
    return std::string("Password fallback: false; secure field: true; own account: true\nSafe direct input ready: ") +
           (ready ? "true" : "false");
  }
  std::vector<ax::SimulatedUserInterface::Write> fieldWrites() const {
    std::vector<ax::SimulatedUserInterface::Write> result;
    if (!dialog_ || !dialog_->secureField) return result;
    for (const auto& write : agent_->ui().writes()) {
      if (write.element == *dialog_->secureField) result.push_back(write);
    }
    return result;
  }
  std::size_t presses() const { return agent_->ui().performed().size(); }

  std::unique_ptr<SimulatedSecurityAgent> agent_;
  std::unique_ptr<SimulatedSecurityAgent> impostor_;
  DialogSpec spec_;
  Dialog* dialog_ = nullptr;
  std::function<void(Dialog&)> onShown_;
  std::string output_;
  double elapsed_ = 0;
};

// --- the request for the administrator right -------------------------------------------------

TEST_F(AuthorizationProbeTest, AsksForTheAdministratorRightFromADefaultGlobalQueue) {
  simulatedAuthorization().setScript({.presentDelay = auth::SimulatedAuthorization::kNever});
  EXPECT_EQ(probe(), 0);
  const auto calls = simulatedAuthorization().calls();
  ASSERT_EQ(calls.size(), 3u);
  const dispatch::Queue& global = dispatch::globalQueue(dispatch::QoS::Default);
  EXPECT_EQ(calls[0].kind, Kind::create);
  EXPECT_FALSE(calls[0].rights) << "no rights at creation";
  EXPECT_FALSE(calls[0].hasEnvironment);
  EXPECT_EQ(calls[0].flags, 0u);
  EXPECT_EQ(calls[1].kind, Kind::copyRights);
  EXPECT_EQ(calls[1].reference, calls[0].reference);
  ASSERT_TRUE(calls[1].rights);
  EXPECT_EQ(*calls[1].rights, (auth::ItemSet{auth::Item{"authenticate-admin", std::nullopt, 0}}));
  EXPECT_FALSE(calls[1].hasEnvironment);
  EXPECT_EQ(calls[1].flags, 19u);
  EXPECT_EQ(calls[2].kind, Kind::free);
  EXPECT_EQ(calls[2].reference, calls[0].reference);
  EXPECT_EQ(calls[2].flags, auth::kAuthorizationFlagDestroyRights);
  for (const auto& call : calls) {
    EXPECT_EQ(call.queueIdentity, &global) << "the global queue of default quality of service";
    EXPECT_EQ(call.queue, global.label());
    EXPECT_FALSE(call.onMainThread);
    EXPECT_DOUBLE_EQ(call.time, 0.0) << "raised at once, before the watching starts turning";
  }
  EXPECT_EQ(simulatedAuthorization().liveReferences(), 0u);
}

TEST_F(AuthorizationProbeTest, NoReferenceMeansNoRequest) {
  simulatedAuthorization().setScript({.createStatus = auth::errAuthorizationInternal});
  quorvel::diagnostics::requestAdministratorRight();
  ASSERT_EQ(simulatedAuthorization().calls().size(), 1u);

  simulatedAuthorization().setScript({.makesReference = false});
  quorvel::diagnostics::requestAdministratorRight();
  const auto calls = simulatedAuthorization().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].kind, Kind::create);
  EXPECT_FALSE(simulatedAuthorization().pending());
  EXPECT_FALSE(dialog_);
}

TEST_F(AuthorizationProbeTest, LinuxRefusesTheRightWithoutADialog) {
  auto services = std::make_shared<auth::LinuxAuthorization>();
  auth::Reference reference;
  ASSERT_EQ(services->create(nullptr, nullptr, 0, &reference), auth::errAuthorizationSuccess);
  ASSERT_TRUE(reference);
  const auth::ItemSet rights{auth::Item{"authenticate-admin", std::nullopt, 0}};
  auth::ItemSet granted{auth::Item{"left over", std::nullopt, 0}};
  EXPECT_EQ(services->copyRights(reference, rights, nullptr, 19, &granted), auth::errAuthorizationInteractionNotAllowed);
  EXPECT_TRUE(granted.empty());
  EXPECT_EQ(services->copyRights(reference, {}, nullptr, 19, nullptr), auth::errAuthorizationSuccess);
  EXPECT_EQ(services->free(reference, auth::kAuthorizationFlagDestroyRights), auth::errAuthorizationSuccess);
  EXPECT_EQ(services->free(reference, 0), auth::errAuthorizationInvalidRef);
  EXPECT_EQ(services->copyRights(reference, rights, nullptr, 19, nullptr), auth::errAuthorizationInvalidRef);

  // The probe on Linux: nothing ever shows, the report is printed once, status 0 at 20 s.
  auth::install(services);
  EXPECT_EQ(probe(), 0);
  EXPECT_EQ(lines(output_), report({}));
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
}

TEST_F(AuthorizationProbeTest, SimulatedRequestsStayPendingUntilAnswered) {
  auto& services = simulatedAuthorization();
  services.setScript({.copyStatus = auth::errAuthorizationSuccess, .presentDelay = 1.0});
  auth::Reference reference;
  ASSERT_EQ(services.create(nullptr, nullptr, 0, &reference), auth::errAuthorizationSuccess);
  const auth::ItemSet rights{auth::Item{"authenticate-admin", std::nullopt, 0}};
  // Without interaction allowed no dialog can be shown.
  EXPECT_EQ(services.copyRights(reference, rights, nullptr, auth::kAuthorizationFlagExtendRights, nullptr),
            auth::errAuthorizationInteractionNotAllowed);
  EXPECT_FALSE(services.pending());

  auth::ItemSet granted;
  EXPECT_EQ(services.copyRights(reference, rights, nullptr, 19, &granted), auth::errAuthorizationSuccess);
  EXPECT_EQ(granted, rights);
  EXPECT_TRUE(services.pending());
  advance(0.9);
  EXPECT_FALSE(services.presented());
  advance(0.2);
  ASSERT_TRUE(services.presented());
  ASSERT_TRUE(dialog_);
  EXPECT_FALSE(dialog_->closed);
  services.answer(auth::errAuthorizationSuccess);
  EXPECT_FALSE(services.pending());
  EXPECT_EQ(services.outcome(), auth::errAuthorizationSuccess);
  EXPECT_TRUE(dialog_->closed);
  EXPECT_EQ(services.free(reference, auth::kAuthorizationFlagDestroyRights), auth::errAuthorizationSuccess);
  EXPECT_EQ(services.free(reference, 0), auth::errAuthorizationInvalidRef);
  EXPECT_EQ(services.copyRights(reference, rights, nullptr, 19, nullptr), auth::errAuthorizationInvalidRef);
}

// --- the locked screen ------------------------------------------------------------------------

TEST_F(AuthorizationProbeTest, ALockedScreenEndsTheProbeWithStatusTwo) {
  lockMachine().lock();
  EXPECT_EQ(probeWithDummyCheck(), 2);
  EXPECT_EQ(output_, std::string(kLockedLine) + "\n");
  EXPECT_TRUE(simulatedAuthorization().calls().empty()) << "no dialog is raised";
  EXPECT_DOUBLE_EQ(elapsed_, 0.0);
  advance(30);
  EXPECT_TRUE(simulatedAuthorization().calls().empty());
  EXPECT_FALSE(dialog_);
}

// --- the genuine dialog -----------------------------------------------------------------------

TEST_F(AuthorizationProbeTest, SwitchesATouchIDDialogOnceAndNeverWritesWithoutTheModifier) {
  EXPECT_EQ(probe(), 0);
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
  // First pass before the agent answers; the dialog seen on the second; the switched one on
  // the third; then nothing changes and nothing more is printed.
  EXPECT_EQ(lines(output_), concat({report({}), report({touchIDWindow()}), {"Use Password action accepted: true"},
                                    report({passwordWindow()})}));
  ASSERT_TRUE(dialog_);
  EXPECT_TRUE(dialog_->passwordMode);
  EXPECT_EQ(presses(), 1u);
  EXPECT_TRUE(agent_->ui().writes().empty()) << "nothing is written without --dummy-field-check";
  EXPECT_EQ(agent_->approvals() + agent_->rejections(), 0);
  EXPECT_TRUE(simulatedAuthorization().pending()) << "the dialog is left for the user";
}

TEST_F(AuthorizationProbeTest, ADialogAlreadyAskingForThePasswordIsNotSwitched) {
  spec_ = passwordDialog();
  EXPECT_EQ(probe(), 0);
  EXPECT_EQ(lines(output_),
            concat({report({}), report({passwordWindow()}), {"Dialog already offers a password field"}}));
  EXPECT_EQ(presses(), 0u);
  EXPECT_TRUE(agent_->ui().writes().empty());
}

TEST_F(AuthorizationProbeTest, ARefusedSwitchIsReportedAndNotTriedAgain) {
  onShown_ = [this](Dialog& dialog) {
    agent_->ui().setAction(*dialog.fallbackButton, "AXPress", [] { return ax::AXError::cannotComplete; });
  };
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_EQ(lines(output_),
            concat({report({}), report({touchIDWindow()}), {"Use Password action accepted: false"}}));
  EXPECT_EQ(presses(), 1u);
  EXPECT_FALSE(dialog_->passwordMode);
  EXPECT_TRUE(agent_->ui().writes().empty()) << "no secure field, so no dummy write";
}

TEST_F(AuthorizationProbeTest, DummyCheckWritesAndClearsTheFieldOnce) {
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_EQ(lines(output_), concat({report({}), report({touchIDWindow()}),
                                    {"Use Password action accepted: true", "Dummy direct-field write status: 0",
                                     "Dummy field clear status: 0"},
                                    report({passwordWindow()})}));
  const auto writes = fieldWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].attribute, "AXValue");
  EXPECT_EQ(writes[0].value, ax::AttributeValue(std::string("Quorvel-DUMMY-ONLY")));
  EXPECT_EQ(writes[1].attribute, "AXValue");
  EXPECT_EQ(writes[1].value, ax::AttributeValue(std::string()));
  EXPECT_EQ(dialog_->typed, "");
  EXPECT_EQ(agent_->approvals() + agent_->rejections(), 0) << "nothing is ever submitted";
}

TEST_F(AuthorizationProbeTest, AFailedDummyWriteIsPrintedAndNeitherClearedNorRetried) {
  spec_ = passwordDialog();
  onShown_ = [this](Dialog& dialog) {
    agent_->ui().setWriteError(*dialog.secureField, "AXValue", ax::AXError::cannotComplete);
  };
  EXPECT_EQ(probeWithDummyCheck(), 0);
  // Every attempt prints a line, so one line means one attempt over the whole 20 s.
  EXPECT_EQ(lines(output_), concat({report({}), report({passwordWindow()}),
                                    {"Dialog already offers a password field", "Dummy direct-field write status: -25204"}}));
  EXPECT_TRUE(fieldWrites().empty());
}

TEST_F(AuthorizationProbeTest, NoClearWhenTheFieldIsNoLongerReadyAfterTheWrite) {
  spec_ = passwordDialog();
  onShown_ = [this](Dialog& dialog) {
    // The agent moves the focus away when the field changes.
    agent_->ui().setSettable(*dialog.secureField, "AXValue", true, [this](const ax::AttributeValue&) {
      agent_->ui().removeAttribute(agent_->applicationElement(), "AXFocusedUIElement");
    });
  };
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_EQ(lines(output_), concat({report({}), report({passwordWindow()}),
                                    {"Dialog already offers a password field", "Dummy direct-field write status: 0"},
                                    report({passwordWindow(false)})}));
  const auto writes = fieldWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, ax::AttributeValue(std::string("Quorvel-DUMMY-ONLY")));
}

TEST_F(AuthorizationProbeTest, AFieldThatIsNotReadyIsWaitedFor) {
  spec_ = passwordDialog();
  spec_.valueSettable = false;
  onShown_ = [this](Dialog& dialog) {
    dispatch::mainQueue().asyncAfter(6.2, [this, &dialog] { agent_->ui().setSettable(*dialog.secureField, "AXValue", true); });
  };
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_EQ(lines(output_),
            concat({report({}), report({passwordWindow(false)}), {"Dialog already offers a password field"},
                    report({passwordWindow(true)}),
                    {"Dummy direct-field write status: 0", "Dummy field clear status: 0"}}));
  EXPECT_EQ(fieldWrites().size(), 2u);
}

// --- what is not the dialog -------------------------------------------------------------------

TEST_F(AuthorizationProbeTest, AnImpostorsDialogIsReportedButNeverTouched) {
  agent_->quit();
  impostor_ = std::make_unique<SimulatedSecurityAgent>(lockMachine(), SimulatedSecurityAgent::impostorSpec());
  simulatedAuthorization().setOnPresent([this] { dialog_ = &impostor_->showDialog(passwordDialog()); });
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_EQ(lines(output_), (std::vector<std::string>{"Accessibility trusted: true", "Locked: false",
                                                      pidLine(*impostor_, false)}));
  EXPECT_TRUE(impostor_->ui().writes().empty());
  EXPECT_TRUE(impostor_->ui().performed().empty());
  EXPECT_EQ(impostor_->ui().queryCount(impostor_->pid()), 0u);
}

TEST_F(AuthorizationProbeTest, NoDialogAtAllStillWatchesTheWholeTwentySeconds) {
  simulatedAuthorization().setScript({.presentDelay = auth::SimulatedAuthorization::kNever});
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
  EXPECT_EQ(lines(output_), report({})) << "a report that stays the same is printed once";
  EXPECT_TRUE(simulatedAuthorization().pending());
}

TEST_F(AuthorizationProbeTest, ACancelledRequestLeavesTheProbeRunningToTheDeadline) {
  simulatedAuthorization().setScript({.copyStatus = auth::errAuthorizationCanceled, .answerDelay = 0});
  dispatch::mainQueue().asyncAfter(5.2, [] { lockMachine().lock(); });
  dispatch::mainQueue().asyncAfter(9.2, [] { lockMachine().unlockByUser(); });
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
  EXPECT_EQ(simulatedAuthorization().outcome(), auth::errAuthorizationCanceled);
  ASSERT_TRUE(dialog_);
  EXPECT_TRUE(dialog_->closed);
  // Changed reports go on being printed; nothing is switched or written.
  EXPECT_EQ(lines(output_), concat({report({}), report({}, true), report({})}));
  EXPECT_EQ(presses(), 0u);
  EXPECT_TRUE(agent_->ui().writes().empty());
}

TEST_F(AuthorizationProbeTest, ADialogThatComesLateIsSwitchedWhenItAppears) {
  simulatedAuthorization().setScript({.presentDelay = 7.3});
  std::optional<ax::Element> fallback;
  double shownAt = -1;
  onShown_ = [&](Dialog& dialog) {
    fallback = dialog.fallbackButton;
    shownAt = dispatch::now();
  };
  EXPECT_EQ(probe(), 0);
  EXPECT_DOUBLE_EQ(shownAt, 7.3);
  EXPECT_EQ(lines(output_), concat({report({}), report({touchIDWindow()}), {"Use Password action accepted: true"},
                                    report({passwordWindow()})}));
  const auto performed = agent_->ui().performed();
  ASSERT_EQ(performed.size(), 1u);
  ASSERT_TRUE(fallback);
  EXPECT_EQ(performed[0].element, *fallback);
  EXPECT_EQ(performed[0].action, "AXPress");
}

TEST_F(AuthorizationProbeTest, AnAgentTooSlowToAnswerIsWaitedForUntilItAnswers) {
  agent_->setResponseDelay(1.0);  // above the target's 0.2 s messaging time-out
  dispatch::mainQueue().asyncAfter(10.1, [this] { agent_->setResponseDelay(0.0); });
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_EQ(lines(output_), concat({report({}), report({touchIDWindow()}),
                                    {"Use Password action accepted: true", "Dummy direct-field write status: 0",
                                     "Dummy field clear status: 0"},
                                    report({passwordWindow()})}));
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
}

TEST_F(AuthorizationProbeTest, ADialogAfterTheLastPassIsNeverTouched) {
  // The last pass looks at 19.5 s; the dialog shows during the final half second.
  simulatedAuthorization().setScript({.presentDelay = 19.9});
  EXPECT_EQ(probeWithDummyCheck(), 0);
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
  EXPECT_EQ(lines(output_), report({}));
  ASSERT_TRUE(dialog_);
  EXPECT_EQ(presses(), 0u);
  EXPECT_TRUE(agent_->ui().writes().empty());
}

TEST_F(AuthorizationProbeTest, ModifierAndSwitchAreMatchedAsWholeArguments) {
  spec_ = passwordDialog();
  EXPECT_EQ(probe({"quorvel", "--authorization-probe", "--Dummy-Field-Check", "--dummy-field-check=1"}), 0);
  EXPECT_TRUE(agent_->ui().writes().empty());
  EXPECT_EQ(lines(output_).back(), "Dialog already offers a password field");
}

// --- the one-shot report ----------------------------------------------------------------------

TEST_F(AuthorizationProbeTest, DiagnosticPrintsTheReportOnceAndRaisesNothing) {
  agent_->showDialog(passwordDialog());
  const std::size_t pendingBefore = scheduler().pendingCount();
  std::ostringstream out;
  EXPECT_EQ(quorvel::diagnostics::runAuthorizationDiagnostic({"quorvel", "--authorization-diagnostic"}, out), 0);
  EXPECT_EQ(out.str(), "Accessibility trusted: true\nLocked: false\n" + pidLine(*agent_) +
                           "\nAccessible windows: 1\n"
                           "Password fallback: false; secure field: true; own account: true\n"
                           "Safe direct input ready: true\n");
  EXPECT_TRUE(simulatedAuthorization().calls().empty());
  EXPECT_EQ(scheduler().pendingCount(), pendingBefore) << "nothing is queued";

  lockMachine().lock();
  std::ostringstream locked;
  EXPECT_EQ(quorvel::diagnostics::runAuthorizationDiagnostic({}, locked), 0) << "locked or not, status 0";
  EXPECT_NE(locked.str().find("Locked: true\n"), std::string::npos);
}

}  // namespace
