// The authorization switches on the simulated machine, in virtual time: the probe's printed
// lines and exit status on every road (screen locked, no dialog, a genuine dialog switched to
// password entry, a dialog already asking for the password, the dummy write and its
// failures, slow agents, a cancelled request), the administrator-right request it makes, and
// the one-shot report. (That an impostor's dialog is never touched is the target's test.)
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/diagnostics_authorization.hpp"
#include "platform/accessibility/simulated_user_interface.hpp"
#include "platform/authorization/authorization_linux.hpp"
#include "platform/authorization/simulated_authorization.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "support/E_printed_lines.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_authorization.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_security_agent.hpp"

namespace {

namespace auth = platform::authorization;
namespace ax = platform::accessibility;
namespace dispatch = platform::dispatch;
using quorvel::testing::lockMachine;
using quorvel::testing::passwordDialog;
using quorvel::testing::printedLines;
using quorvel::testing::simulatedAuthorization;
using quorvel::testing::SimulatedSecurityAgent;
using Dialog = SimulatedSecurityAgent::Dialog;
using DialogSpec = SimulatedSecurityAgent::DialogSpec;
using Kind = auth::SimulatedAuthorization::Kind;

constexpr const char* kLockedLine = "Unlock this Mac before running the authorization probe.";

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class AuthorizationProbeTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    spec_ = DialogSpec();
    dialog_ = nullptr;
    onShown_ = nullptr;
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
      for (auto& line : printedLines(window + "\n")) result.push_back(line);
    }
    return result;
  }
  static std::string touchIDWindow() { return "Password fallback: true; secure field: false; own account: false"; }
  static std::string passwordWindow(bool ready = true) {
    return std::string("Password fallback: false; secure field: true; own account: true\nSafe direct input ready: ") +
           (ready ? "true" : "false");
  }
  std::size_t presses() const { return agent_->ui().performed().size(); }

  std::unique_ptr<SimulatedSecurityAgent> agent_;
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
  // Made without rights or environment, asked for the right, freed: one reference throughout.
  const auth::Flags destroy = auth::kAuthorizationFlagDestroyRights;
  const std::pair<Kind, auth::Flags> steps[] = {
      {Kind::create, 0u}, {Kind::copyRights, 19u}, {Kind::free, destroy}};
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(std::pair(calls[i].kind, calls[i].flags), steps[i]) << i;
    EXPECT_EQ(calls[i].reference, calls[0].reference);
  }
  EXPECT_FALSE(calls[0].rights) << "no rights at creation";
  EXPECT_FALSE(calls[0].hasEnvironment || calls[1].hasEnvironment);
  ASSERT_TRUE(calls[1].rights);
  EXPECT_EQ(*calls[1].rights, (auth::ItemSet{auth::Item{"authenticate-admin", std::nullopt, 0}}));
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

// Without a system bus (the fixture's), polkitd cannot be asked: the right is refused at once
// with the cause in the log. (tests/polkit asks the real polkitd.)
TEST_F(AuthorizationProbeTest, LinuxRefusesTheRightWithoutPolkit) {
  auto services = std::make_shared<auth::LinuxAuthorization>();
  auth::Reference reference;
  ASSERT_EQ(services->create(nullptr, nullptr, 0, &reference), auth::errAuthorizationSuccess);
  ASSERT_TRUE(reference);
  const auth::ItemSet rights{auth::Item{"authenticate-admin", std::nullopt, 0}};
  auth::ItemSet granted{auth::Item{"left over", std::nullopt, 0}};
  EXPECT_EQ(services->copyRights(reference, rights, nullptr, 19, &granted), auth::errAuthorizationInternal);
  EXPECT_TRUE(granted.empty());
  EXPECT_TRUE(logs().contains("There is no system bus to reach polkitd"));
  EXPECT_EQ(services->create(&rights, nullptr, 19, &reference), auth::errAuthorizationInternal);
  EXPECT_FALSE(reference);
  ASSERT_EQ(services->create(nullptr, nullptr, 0, &reference), auth::errAuthorizationSuccess);
  EXPECT_EQ(services->copyRights(reference, {}, nullptr, 19, nullptr), auth::errAuthorizationSuccess);
  EXPECT_EQ(services->free(reference, auth::kAuthorizationFlagDestroyRights), auth::errAuthorizationSuccess);
  EXPECT_EQ(services->free(reference, 0), auth::errAuthorizationInvalidRef);
  EXPECT_EQ(services->copyRights(reference, rights, nullptr, 19, nullptr), auth::errAuthorizationInvalidRef);

  // The probe on Linux: nothing ever shows, the report is printed once, status 0 at 20 s.
  auth::install(services);
  EXPECT_EQ(probe(), 0);
  EXPECT_EQ(printedLines(output_), report({}));
  EXPECT_DOUBLE_EQ(elapsed_, 20.0);
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

// --- the roads of the watching ----------------------------------------------------------------

// Each road runs the whole 20 s and leaves the dialog for the user: the printed lines (a report
// only when it changed), the presses and what was written into the secure field.
TEST_F(AuthorizationProbeTest, EveryRoadPrintsItsLinesAndTouchesOnlyWhatItMay) {
  const std::vector<std::string> plain{"quorvel", "--authorization-probe"};
  const std::vector<std::string> dummy{"quorvel", "--dummy-field-check", "--authorization-probe"};
  const std::string written = "Quorvel-DUMMY-ONLY";
  const std::vector<std::string> switched{"Use Password action accepted: true"};
  const std::vector<std::string> dummyLines{"Use Password action accepted: true",
                                            "Dummy direct-field write status: 0", "Dummy field clear status: 0"};
  const std::vector<std::string> offers{"Dialog already offers a password field"};
  const auto asksForPassword = [this] { spec_ = passwordDialog(); };
  struct Road {
    const char* name;
    std::vector<std::string> args;
    std::function<void()> arrange;
    std::vector<std::string> lines;
    std::size_t presses;
    std::vector<std::string> writes;  // into the secure field
  };
  // First pass before the agent answers; the dialog seen on the second; then what was done.
  const Road roads[] = {
      {"a Touch ID dialog is switched once; nothing is written without the modifier", plain, [] {},
       concat({report({}), report({touchIDWindow()}), switched, report({passwordWindow()})}), 1, {}},
      {"a dialog already asking for the password is not switched", plain, asksForPassword,
       concat({report({}), report({passwordWindow()}), offers}), 0, {}},
      {"modifier and switch are matched as whole arguments",
       {"quorvel", "--authorization-probe", "--Dummy-Field-Check", "--dummy-field-check=1"}, asksForPassword,
       concat({report({}), report({passwordWindow()}), offers}), 0, {}},
      {"a refused switch is reported and not tried again", dummy,
       [this] {
         onShown_ = [this](Dialog& dialog) {
           agent_->ui().setAction(*dialog.fallbackButton, "AXPress", [] { return ax::AXError::cannotComplete; });
         };
       },
       concat({report({}), report({touchIDWindow()}), {"Use Password action accepted: false"}}), 1, {}},
      {"the dummy check writes and clears the field once", dummy, [] {},
       concat({report({}), report({touchIDWindow()}), dummyLines, report({passwordWindow()})}), 1, {written, ""}},
      {"an agent too slow to answer is waited for", dummy,
       [this] {
         agent_->setResponseDelay(1.0);  // above the target's 0.2 s messaging time-out
         dispatch::mainQueue().asyncAfter(10.1, [this] { agent_->setResponseDelay(0.0); });
       },
       concat({report({}), report({touchIDWindow()}), dummyLines, report({passwordWindow()})}), 1, {written, ""}},
      // Every attempt prints a line, so one line means one attempt over the whole 20 s.
      {"a failed dummy write is printed and neither cleared nor retried", dummy,
       [this] {
         spec_ = passwordDialog();
         onShown_ = [this](Dialog& dialog) {
           agent_->ui().setWriteError(*dialog.secureField, "AXValue", ax::AXError::cannotComplete);
         };
       },
       concat({report({}), report({passwordWindow()}), offers, {"Dummy direct-field write status: -25204"}}), 0, {}},
      {"no clear when the field is no longer ready after the write", dummy,
       [this] {
         spec_ = passwordDialog();
         onShown_ = [this](Dialog& dialog) {  // the agent moves the focus away when the field changes
           agent_->ui().setSettable(*dialog.secureField, "AXValue", true, [this](const ax::AttributeValue&) {
             agent_->ui().removeAttribute(agent_->applicationElement(), "AXFocusedUIElement");
           });
         };
       },
       concat({report({}), report({passwordWindow()}), offers, {"Dummy direct-field write status: 0"},
               report({passwordWindow(false)})}),
       0, {written}},
      {"a field that is not ready is waited for", dummy,
       [this] {
         spec_ = passwordDialog();
         spec_.valueSettable = false;
         onShown_ = [this](Dialog& dialog) {
           dispatch::mainQueue().asyncAfter(
               6.2, [this, &dialog] { agent_->ui().setSettable(*dialog.secureField, "AXValue", true); });
         };
       },
       concat({report({}), report({passwordWindow(false)}), offers, report({passwordWindow(true)}),
               {"Dummy direct-field write status: 0", "Dummy field clear status: 0"}}),
       0, {written, ""}},
      {"a dialog after the last pass (at 19.5 s) is never touched", dummy,
       [] { simulatedAuthorization().setScript({.presentDelay = 19.9}); }, report({}), 0, {}},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    TearDown();
    SetUp();
    road.arrange();
    EXPECT_EQ(probe(road.args), 0);
    EXPECT_DOUBLE_EQ(elapsed_, 20.0);
    EXPECT_EQ(printedLines(output_), road.lines);
    EXPECT_EQ(presses(), road.presses);
    std::vector<std::string> writes;
    for (const auto& write : agent_->ui().writes()) {
      EXPECT_EQ(write.element, *dialog_->secureField);
      EXPECT_EQ(write.attribute, "AXValue");
      writes.push_back(std::get<std::string>(write.value));
    }
    EXPECT_EQ(writes, road.writes);
    EXPECT_EQ(agent_->approvals() + agent_->rejections(), 0) << "nothing is ever submitted";
    EXPECT_TRUE(simulatedAuthorization().pending()) << "the dialog is left for the user";
  }
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
  EXPECT_EQ(printedLines(output_), concat({report({}), report({}, true), report({})}));
  EXPECT_EQ(presses(), 0u);
  EXPECT_TRUE(agent_->ui().writes().empty());
}

// --- the one-shot report ----------------------------------------------------------------------

TEST_F(AuthorizationProbeTest, DiagnosticPrintsTheReportOnceAndRaisesNothing) {
  agent_->showDialog(passwordDialog());
  const std::size_t pendingBefore = scheduler().pendingCount();
  std::ostringstream out;
  EXPECT_EQ(quorvel::diagnostics::runAuthorizationDiagnostic({"quorvel", "--authorization-diagnostic"}, out), 0);
  EXPECT_EQ(printedLines(out.str()), report({passwordWindow()}));
  EXPECT_TRUE(simulatedAuthorization().calls().empty());
  EXPECT_EQ(scheduler().pendingCount(), pendingBefore) << "nothing is queued";

  lockMachine().lock();
  std::ostringstream locked;
  EXPECT_EQ(quorvel::diagnostics::runAuthorizationDiagnostic({}, locked), 0) << "locked or not, status 0";
  EXPECT_NE(locked.str().find("Locked: true\n"), std::string::npos);
}

}  // namespace
