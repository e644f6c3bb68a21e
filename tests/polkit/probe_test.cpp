// The administrator right through the real polkitd, and the shipped executable's authorization
// switches against it, the agent stand-in's dialog and the accessibility bus. What meets the
// dialog runs as "nobody", held until the stand-in registered as the polkit agent of its
// process. Two probe runs take their full 20 s.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "platform/authorization/authorization_linux.hpp"
#include "polkit/authorization_desktop.hpp"
#include "support/platform_fixture.hpp"

namespace {

namespace auth = platform::authorization;
using namespace quorvel::testing;
using Lines = std::vector<std::string>;

constexpr const char* kQuorvel = QUORVEL_BINARY_DIR "/quorvel";

long count(const Lines& lines, const std::string& line) { return std::count(lines.begin(), lines.end(), line); }
long position(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) - lines.begin();
}

class AuthorizationRequestTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    desktop_ = std::make_unique<AuthorizationDesktop>(home() + "/desktop");
  }
  void TearDown() override {
    PlatformTest::TearDown();
    run_.reset(), agent_.reset(), desktop_.reset();
  }

  void startDesktop() {
    ASSERT_TRUE(desktop_->startSystem(kNobody) && desktop_->startSession() && desktop_->startAccessibility(true));
  }
  // Runs `argv` as nobody with the agent stand-in (`options`) answering for its process, does
  // `meanwhile` and waits for its end; its exit status.
  int runWithAgent(const Lines& argv, Lines options, const std::function<void()>& meanwhile = [] {}) {
    run_ = desktop_->startHeld(argv, true, "run.out");
    options.insert(options.begin(), {desktop_->agent(), "--process", std::to_string(run_->pid())});
    agent_ = desktop_->start(options, true, "agent.log");
    EXPECT_TRUE(fileHasLine(agentLog(), "registered")) << ::testing::PrintToString(fileLines(agentLog()));
    desktop_->release();
    meanwhile();
    return run_->wait(90).value_or(-1);
  }
  std::string agentLog() const { return desktop_->path("agent.log"); }
  Lines output() const { return fileLines(desktop_->path("run.out")); }
  Lines probeOutput() const { return linesAboutAgent(output(), agent_->pid()); }
  bool errorsMention(const std::string& text) const {
    const Lines errors = fileLines(desktop_->path("run.out.err"));
    return std::any_of(errors.begin(), errors.end(), [&](const auto& line) { return line.find(text) != std::string::npos; });
  }

  std::unique_ptr<AuthorizationDesktop> desktop_;
  std::unique_ptr<ChildProcess> run_, agent_;
};

TEST_F(AuthorizationRequestTest, WithoutPolkitdNothingIsAskedAndRootIsGrantedWithoutADialog) {
  auth::LinuxAuthorization services;
  const auth::ItemSet admin{auth::Item{auth::kAdministratorRight, std::nullopt, 0}};
  auth::Reference reference;
  ASSERT_EQ(services.create(nullptr, nullptr, 0, &reference), auth::errAuthorizationSuccess);
  const auto ask = [&](auth::Flags flags) { return services.copyRights(reference, admin, nullptr, flags, nullptr); };
  ASSERT_TRUE(desktop_->startSystem(0, false));
  desktop_->useInThisProcess();
  EXPECT_TRUE(eventually(
      [&] { return ask(19) == auth::errAuthorizationInternal && logs().contains("polkitd is not running on the system bus"); },
      10));

  ASSERT_TRUE(desktop_->startPolkit());
  EXPECT_TRUE(eventually([&] { return ask(19) == auth::errAuthorizationSuccess; }, 10))
      << "is " << auth::kAdministratorAction << " installed (scripts/setup)?";
  EXPECT_EQ(ask(0), auth::errAuthorizationSuccess) << "the reference keeps the right";
  EXPECT_EQ(services.copyRights(reference, {auth::Item{"system.privilege.admin", std::nullopt, 0}}, nullptr, 19, nullptr),
            auth::errAuthorizationDenied);
  EXPECT_EQ(services.free(reference, auth::kAuthorizationFlagDestroyRights), auth::errAuthorizationSuccess);
  EXPECT_EQ(ask(19), auth::errAuthorizationInvalidRef);
}

TEST_F(AuthorizationRequestTest, WithoutAnAgentTheRequestIsRefusedAtOnce) {
  startDesktop();
  run_ = desktop_->startHeld({QUORVEL_AUTHORIZATION_REQUEST}, true, "run.out");
  desktop_->release();
  ASSERT_EQ(run_->wait(30), 0);
  EXPECT_EQ(output(), Lines{"copyRights: -60007"});
  EXPECT_TRUE(errorsMention("No polkit authentication agent answers for this process"));
}

// The request ends cancelled: freed with its rights (polkitd tells the agent), or dismissed.
TEST_F(AuthorizationRequestTest, FreeingWithItsRightsOrDismissingTheDialogCancelsTheRequest) {
  startDesktop();
  const std::string trigger = desktop_->path("free");
  EXPECT_EQ(runWithAgent({QUORVEL_AUTHORIZATION_REQUEST, "--free-when", trigger}, {},
                         [&] {
                           EXPECT_TRUE(fileHasLine(agentLog(), "shown"));
                           std::ofstream(trigger).put('\n');
                         }),
            0);
  Lines printed = output();
  std::sort(printed.begin(), printed.end());
  EXPECT_EQ(printed, (Lines{"copyRights: -60006", "free: 0"}));
  EXPECT_TRUE(fileHasLine(agentLog(), "cancelled"));

  agent_.reset();
  for (const char* file : {"go", "run.out", "agent.log"}) std::remove(desktop_->path(file).c_str());
  EXPECT_EQ(runWithAgent({QUORVEL_AUTHORIZATION_REQUEST}, {},
                         [&] {
                           EXPECT_TRUE(eventually(
                               [&] {
                                 xdotool(desktop_->display(), {"key", "Escape"});
                                 return fileHasLine(agentLog(), "cancel", 1);
                               },
                               30));
                         }),
            0);
  EXPECT_EQ(output(), Lines{"copyRights: -60006"});
}

TEST_F(AuthorizationRequestTest, TheProbeSwitchesTheDialogToItsPasswordAndWritesOnlyTheDummy) {
  startDesktop();
  ASSERT_EQ(runWithAgent({kQuorvel, "--authorization-probe", "--dummy-field-check"}, {"--fallback"}), 0)
      << ::testing::PrintToString(fileLines(desktop_->path("run.out.err")));
  const Lines lines = probeOutput();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2), (Lines{"Accessibility trusted: true", "Locked: false"}));
  EXPECT_EQ(count(lines, "SecurityAgent pid " + std::to_string(agent_->pid()) + ", Apple signature verified: true"),
            count(lines, "Locked: false"));
  EXPECT_EQ(count(lines, "Use Password action accepted: true"), 1) << ::testing::PrintToString(lines);
  // The report may not have caught the dialog before it was switched.
  const long fallback = position(lines, "Password fallback: true; secure field: false; own account: true");
  EXPECT_TRUE(fallback == static_cast<long>(lines.size()) || fallback < position(lines, "Use Password action accepted: true"));
  EXPECT_LT(position(lines, "Use Password action accepted: true"),
            position(lines, "Password fallback: false; secure field: true; own account: true"));
  // The report opens each pass: the write may come in the pass that found the field switched,
  // before any report showed it ready.
  EXPECT_GE(count(lines, "Safe direct input ready: true"), 1);
  EXPECT_EQ(count(lines, "Dummy direct-field write status: 0"), 1);
  EXPECT_EQ(position(lines, "Dummy direct-field write status: 0") + 1, position(lines, "Dummy field clear status: 0"));
  EXPECT_EQ(count(lines, "Dialog already offers a password field"), 0);

  // Asked by polkitd for our action, switched once, the dummy written and cleared, nothing
  // confirmed; the request ends with the probe.
  EXPECT_TRUE(fileHasLine(agentLog(), "cancelled"));
  EXPECT_EQ(fileLines(agentLog()), (Lines{"registered", "begin com.tessmin.quorvel.authenticate-admin", "shown", "use password",
                                          "password: Quorvel-DUMMY-ONLY", "password: ", "cancelled"}));
}

TEST_F(AuthorizationRequestTest, TheProbeWritesNothingIntoADialogThatAsksForThePasswordWithoutTheModifier) {
  startDesktop();
  ASSERT_EQ(runWithAgent({kQuorvel, "--authorization-probe"}, {}), 0)
      << ::testing::PrintToString(fileLines(desktop_->path("run.out.err")));
  const Lines lines = probeOutput();
  EXPECT_EQ(count(lines, "Dialog already offers a password field"), 1);
  EXPECT_GE(count(lines, "Safe direct input ready: true"), 1);
  EXPECT_EQ(lines.size(), std::size_t(std::count_if(lines.begin(), lines.end(), [](const auto& line) {
              return line.find("Dummy") == std::string::npos && line.find("Use Password") == std::string::npos;
            })));
  EXPECT_TRUE(fileHasLine(agentLog(), "cancelled"));
  EXPECT_EQ(fileLines(agentLog()), (Lines{"registered", "begin com.tessmin.quorvel.authenticate-admin", "shown", "cancelled"}));
}

TEST_F(AuthorizationRequestTest, TheProbeRefusesALockedScreenAndTheDiagnosticReportsTheDialog) {
  startDesktop();
  ASSERT_TRUE(desktop_->setLocked(true));
  run_ = desktop_->start({kQuorvel, "--authorization-probe", "--dummy-field-check"}, true, "run.out");
  EXPECT_EQ(run_->wait(30), 2);
  EXPECT_EQ(output(), Lines{"Unlock this Mac before running the authorization probe."});

  agent_ = desktop_->start({desktop_->agent(), "--show"}, true, "agent.log");
  ASSERT_TRUE(fileHasLine(agentLog(), "shown"));
  const auto diagnostic = [&] {
    std::remove(desktop_->path("run.out").c_str());
    run_ = desktop_->start({kQuorvel, "--authorization-diagnostic"}, true, "run.out");
    return run_->wait(30) == 0 ? probeOutput() : Lines{};
  };
  Lines report{"Accessibility trusted: true",
               "Locked: true",
               "SecurityAgent pid " + std::to_string(agent_->pid()) + ", Apple signature verified: true",
               "Accessible windows: 1",
               "Password fallback: false; secure field: true; own account: true",
               "Safe direct input ready: false"};
  EXPECT_TRUE(eventually([&] { return diagnostic() == report; }, 20)) << ::testing::PrintToString(probeOutput());
  ASSERT_TRUE(desktop_->setLocked(false));
  report[1] = "Locked: false", report[5] = "Safe direct input ready: true";
  EXPECT_TRUE(eventually([&] { return diagnostic() == report; }, 20)) << ::testing::PrintToString(probeOutput());
}

TEST_F(AuthorizationRequestTest, TheDiagnosticSaysWhyTheDialogCannotBeRead) {
  ASSERT_TRUE(desktop_->startSystem(kNobody, false) && desktop_->startSession());
  agent_ = desktop_->start({desktop_->agent(), "--show"}, true, "agent.log");
  ASSERT_TRUE(fileHasLine(agentLog(), "shown"));
  run_ = desktop_->startHeld({kQuorvel, "--authorization-diagnostic"}, true, "run.out");
  desktop_->release();
  ASSERT_EQ(run_->wait(30), 0);
  EXPECT_EQ(probeOutput(), (Lines{"Accessibility trusted: true", "Locked: false",
                                  "SecurityAgent pid " + std::to_string(agent_->pid()) + ", Apple signature verified: true",
                                  "Accessible windows: 0"}));
  EXPECT_TRUE(errorsMention("The accessibility bus is not running"));
}

}  // namespace
