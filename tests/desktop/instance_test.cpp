// The application's one instance in the session, on a private session bus (dbus-daemon): the
// first claim owns it, a later one hands over and the first hears Activate on its main queue;
// the name goes with its owner, and an owner that quits before answering leaves it to the later
// start; without a session bus nothing can tell until one connects.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/ui/instance_linux.hpp"
#include "support/desktop_session.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

using platform::ui::InstanceClaim;
using platform::ui::SessionInstance;

class SessionInstanceTest : public PlatformTest {
 protected:
  // Runs the main queue until `count` activations came (the bus thread posts them).
  bool activatedTimes(int count) {
    return eventually([&] {
      runUntilIdle();
      return activations == count;
    }, 20);
  }
  // Whether the application's name has an owner on `bus`.
  static bool owned(const PrivateBus& bus) {
    std::string answer;
    runCommand({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                "--method", "org.freedesktop.DBus.NameHasOwner", SessionInstance::busName},
               {bus.environment()}, 10, &answer);
    return answer.find("true") != std::string::npos;
  }
  static int activate(const PrivateBus& bus) {
    return runCommand({"gdbus", "call", "--session", "--dest", SessionInstance::busName, "--object-path",
                       SessionInstance::objectPath, "--method", "org.freedesktop.Application.Activate", "{}"},
                      {bus.environment()});
  }
  int activations = 0;
};

TEST_F(SessionInstanceTest, TheFirstStartOwnsTheSessionAndLaterStartsHandOverToIt) {
  PrivateBus bus(home() + "/bus");
  ASSERT_FALSE(bus.address().empty());
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

  auto first = std::make_unique<SessionInstance>([this] { ++activations; });
  EXPECT_EQ(first->claim(), InstanceClaim::first);
  EXPECT_EQ(SessionInstance([] { ADD_FAILURE() << "a later start was activated"; }).claim(), InstanceClaim::handedOver);
  EXPECT_TRUE(activatedTimes(1));
  // Anyone may ask through the standard interface.
  EXPECT_EQ(runCommand({"gdbus", "call", "--session", "--dest", SessionInstance::busName, "--object-path",
                        SessionInstance::objectPath, "--method", "org.freedesktop.Application.Activate", "{}"},
                       {bus.environment()}),
            0);
  EXPECT_TRUE(activatedTimes(2));

  // Once the first has ended (and the bus has seen it go), a start is the first again.
  first.reset();
  EXPECT_TRUE(eventually([&] {
    std::string answer;
    runCommand({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                "--method", "org.freedesktop.DBus.NameHasOwner", SessionInstance::busName},
               {bus.environment()}, 10, &answer);
    return answer.find("false") != std::string::npos;
  }, 20));
  EXPECT_EQ(SessionInstance(nullptr).claim(), InstanceClaim::first);
  EXPECT_EQ(activations, 2);

  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + home() + "/no-bus").c_str(), 1);
  EXPECT_EQ(SessionInstance(nullptr).claim(), InstanceClaim::unknown);
}

TEST_F(SessionInstanceTest, AStartWhoseRunningCopyQuitsBeforeAnsweringBecomesTheApplication) {
  PrivateBus bus(home() + "/bus");
  ASSERT_FALSE(bus.address().empty());
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  // A running copy that quits as the second start's Activate comes, without answering it.
  const auto running = ChildProcess::start({"/usr/bin/python3", "-m", "dbusmock", "--session", SessionInstance::busName,
                                            SessionInstance::objectPath, "org.freedesktop.Application"},
                                           {bus.environment()}, home() + "/running.out");
  ASSERT_TRUE(running && eventually([&] { return owned(bus); }, 20)) << "the stand-in did not start";
  ASSERT_EQ(runCommand({"gdbus", "call", "--session", "--dest", SessionInstance::busName, "--object-path",
                        SessionInstance::objectPath, "--method", "org.freedesktop.DBus.Mock.AddMethod",
                        "org.freedesktop.Application", "Activate", "'a{sv}'", "''", "'__import__(\"os\")._exit(0)'"},
                       {bus.environment()}),
            0);

  SessionInstance second([this] { ++activations; });
  EXPECT_EQ(second.claim(), InstanceClaim::first);
  EXPECT_EQ(running->wait(20), 0);
  EXPECT_EQ(activate(bus), 0);
  EXPECT_TRUE(activatedTimes(1));
}

TEST_F(SessionInstanceTest, AStartWithoutASessionBusTakesTheNameOnceOneConnects) {
  const std::string folder = home() + "/later";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + folder + "/bus").c_str(), 1);
  SessionInstance instance([this] { ++activations; });
  ASSERT_EQ(instance.claim(), InstanceClaim::unknown);

  PrivateBus bus(folder);  // listens where the address pointed
  ASSERT_FALSE(bus.address().empty());
  EXPECT_TRUE(eventually([&] { return owned(bus); }, 20));
  EXPECT_EQ(activate(bus), 0);
  EXPECT_TRUE(activatedTimes(1));
}

}  // namespace
}  // namespace quorvel::testing
