// The menu's "Check for Updates…" with the linux updater against a local HTTPS server: the
// answer in a dialog, the verified archive kept for the user, nothing unverified kept; the
// transfers' limits; and the real dialog on an X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

#include "app/app_updater.hpp"
#include "menubar/menubar_fixture.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/files/files.hpp"
#include "platform/screens/screens_linux.hpp"
#include "platform/ui/alert_linux.hpp"
#include "platform/ui/application_linux.hpp"
#include "platform/updater/standard_user_driver.hpp"
#include "platform/updater/updater_linux.hpp"
#include "platform/windows/windows_linux.hpp"
#include "support/B_helpers.hpp"
#include "support/tutorial_hooks.hpp"
#include "updater/update_bed.hpp"

namespace quorvel::testing {
namespace {

using namespace platform::updater;

// How a silent check ended.
class Outcome : public UpdaterDelegate {
 public:
  void didFinishUpdateCycle(Updater&, UpdateCheck check, const std::optional<Error>& error) override {
    EXPECT_EQ(check, UpdateCheck::updateInformation);
    description = error ? error->localizedDescription : "ok";
  }
  std::string description = "not ended";
};

class UpdateRowTest : public MenuBarTest {
 protected:
  void SetUp() override {
    MenuBarTest::SetUp();
    ASSERT_FALSE(processDisplay().empty()) << "Xvfb did not start";
    ASSERT_TRUE(bed.serving()) << "the HTTPS server did not start";
  }
  // The application's updater reads the bundle `name`, configured for `feedURL`.
  void configure(const std::string& name, const std::string& feedURL) {
    platform::bundle::install(std::make_shared<platform::bundle::Bundle>(bed.bundle(name, feedURL)));
    platform::updater::install(makeLinuxUpdateFramework());
  }
  // Presses the row and lets the check run to its answer, which the dialog gets `presses`.
  void pressRow(std::initializer_list<Press> presses = {}) {
    simulatedAlerts().reset();
    answer(presses);
    controller->currentActions().checkForUpdates();
    runUntilIdle();
  }
  static std::string updatesFolder() {
    return *platform::files::current()->applicationSupportFolder() + "/com.tessmin.quorvel/Updates";
  }
  static Strings kept() {
    Strings names;
    if (std::filesystem::exists(updatesFolder())) {
      for (const auto& entry : std::filesystem::directory_iterator(updatesFolder())) names.push_back(entry.path().filename());
    }
    return names;
  }
  // A silent check by an updater of its own for `bundle`: "ok" or the error's description.
  std::string silentCheck(const std::string& bundle, const UpdaterLimits& limits = {}) {
    const auto outcome = std::make_shared<Outcome>();
    const auto updater = makeLinuxUpdateFramework(limits)->makeUpdater(
        bundle, bundle, std::make_shared<StandardUserDriver>(bundle), outcome);
    if (const auto error = updater->start()) return error->localizedDescription;
    updater->checkForUpdateInformation();
    runUntilIdle();
    return outcome->description;
  }
  long downloads(const std::string& path) const {
    const auto paths = bed.requests();
    return std::count(paths.begin(), paths.end(), path);
  }

  UpdateBed bed;
};

TEST_F(UpdateRowTest, ANewerVersionIsOfferedWithItsNotesOnlyOnceItsArchiveIsVerifiedAndKept) {
  const Release release{"2.0", "archive 2.0", true, "Faster unlocking.\nFewer prompts.", "https://example.org/2.0"};
  configure("newer", bed.publish("feed", {{"1.4.0"}, release}));
  pressRow({{0}});
  const std::string archive = updatesFolder() + "/feed-2.0.tar.gz";
  expectAlert(0, "A new version of Quorvel is available!",
              "Quorvel 2.0 is now available\u2014you have 1.4.0.\n\nIts archive was downloaded and its signature "
              "verified: " + archive + ". Quorvel does not replace itself; install the new version from that "
              "archive.\n\nFaster unlocking.\nFewer prompts.",
              {"Show in Folder", "Release Page", "Later"});
  EXPECT_EQ(activations(), Strings{"activate ignoringOtherApps=true"});
  EXPECT_EQ(fileText(archive), "archive 2.0");
  EXPECT_EQ(kept(), Strings{"feed-2.0.tar.gz"});
  EXPECT_EQ(simulatedURLOpener().opened(), Strings{"file://" + updatesFolder()});

  // Asked again: the kept archive is verified where it lies, not fetched again.
  pressRow({{1}});
  EXPECT_EQ(messages(), Strings{"A new version of Quorvel is available!"});
  EXPECT_EQ(downloads("feed-2.0.tar.gz"), 1);
  EXPECT_EQ(simulatedURLOpener().opened().back(), release.link);
  // A kept archive that no longer verifies is replaced by a verified one.
  std::ofstream(archive) << "archive 2.1";
  pressRow();
  EXPECT_EQ(downloads("feed-2.0.tar.gz"), 2);
  EXPECT_EQ(fileText(archive), "archive 2.0");
  EXPECT_EQ(simulatedURLOpener().opened().size(), 2u) << "answered with Later";
}

TEST_F(UpdateRowTest, UpToDateAndEveryFailureAreAnsweredInADialogAndNothingUnverifiedIsKept) {
  configure("row", bed.publish("feed", {{"1.4.0"}}));
  pressRow();
  expectAlert(0, "You\u2019re up to date!", "Quorvel 1.4.0 is currently the newest version available.", {"OK"});

  bed.publish("feed", {{"1.3.2"}});
  pressRow();
  expectAlert(0, "You\u2019re up to date!",
              "Quorvel 1.4.0 is newer than the newest version in the update feed (1.3.2).", {"OK"});

  const auto failure = [&](const std::string& description) {
    pressRow();
    expectAlert(0, "Update Error!", description, {"OK"});
  };
  bed.publish("feed", {{"2.0", "evil", false}});
  failure("The update archive's signature is not valid.");
  bed.publish("feed", {{"2.0"}}, false);
  failure("The update feed's signature is not valid.");
  // The archive is longer than the feed says.
  bed.put("long.tar.gz", "0123456789");
  bed.publishText("feed", feedXML({itemXML({"2.0"}, "long.tar.gz", bed.key().sign("01234"), 5)}));
  failure("The update to version 2.0 could not be downloaded from " + bed.url("long.tar.gz") +
          ": the response is larger than 5 bytes.");
  bed.publishText("feed", feedXML({itemXML({"2.0"}, "http://127.0.0.1/a.tar.gz", bed.key().sign("a"), 1)}));
  failure("The update to version 2.0 has no https:// archive in the feed.");
  bed.publishText("feed", feedXML({itemXML({"2.0"}, "a.tar.gz", "", 1)}));
  failure("The update to version 2.0 carries no valid signature in the feed.");
  EXPECT_TRUE(kept().empty());
}

TEST_F(UpdateRowTest, WithoutAFeedTheRowSaysWhyTheUpdaterCannotCheck) {
  configure("unconfigured", "");
  pressRow();
  expectAlert(0, "Unable to Check For Updates", "This build of Quorvel has no update feed configured.", {"OK"});
  EXPECT_TRUE(bed.requests().empty());
}

TEST_F(UpdateRowTest, SilentServersSlowTransfersAndRedirectsAreBounded) {
  // Each case's limits leave only the one it tests to end it, however slow the machine.
  const auto limited = [](double idle, double total) {
    UpdaterLimits limits;
    limits.feed.idleSeconds = idle;
    limits.feed.totalSeconds = total;
    return limits;
  };
  bed.publish("good", {{"2.0"}});
  const std::string fetching = "The update feed could not be fetched from ";
  const std::vector<std::tuple<std::string, UpdaterLimits, std::string>> cases = {
      {bed.url("moved/good.xml"), {}, "ok"},
      {bed.url("stall"), limited(1, 600), fetching + bed.url("stall") + ": the server sent nothing for 1 second."},
      {bed.url("trickle"), limited(600, 2), fetching + bed.url("trickle") + ": the transfer took longer than 2 seconds."},
      {bed.url("loop/0"), {}, fetching + bed.url("loop/0") + ": Too many redirects."},
      {bed.url("to-http/good.xml"), {}, fetching + bed.url("to-http/good.xml") + ": Insecure redirect."},
  };
  int number = 0;
  for (const auto& [feed, limits, description] : cases) {
    EXPECT_EQ(silentCheck(bed.bundle("silent" + std::to_string(number++), feed), limits), description);
  }
  EXPECT_TRUE(simulatedAlerts().shown().empty());
}

TEST_F(UpdateRowTest, ATransferTrustsOnlyItsOwnBundlesAuthoritiesEvenRightAfterOneThatTrustedMore) {
  const std::string feed = bed.publish("good", {{"1.4.0"}});
  EXPECT_EQ(silentCheck(bed.bundle("trusting", feed)), "Quorvel 1.4.0 is currently the newest version available.");
  const std::string answer = silentCheck(bed.bundle("distrusting", feed, false));
  EXPECT_NE(answer.find("SSL handshake failed"), std::string::npos) << answer;
}

TEST_F(UpdateRowTest, TheRealDialogShowsTheUpdateOnTheScreen) {
  platform::screens::install(platform::screens::makeLinuxScreens());
  platform::windows::install(platform::windows::makeLinuxWindowSystem());
  platform::ui::installAlerts(platform::ui::makeLinuxAlerts());
  platform::ui::install(platform::ui::makeLinuxApplication());
  configure("screen", bed.publish("feed", {{"2.0", "archive", true, "Faster unlocking.", "https://example.org/2.0"}}));

  // From inside the dialog's modal run, once it is on the screen: its texts and a picture of
  // it; then "Later".
  std::string message, informative;
  QImage picture;
  QRect frame;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (!dialog || !dialog->isActiveWindow()) return;
    poll.stop();
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    message = dialog->findChild<QLabel*>("message")->text().toStdString();
    informative = dialog->findChild<QLabel*>("informative")->text().toStdString();
    frame = dialog->frameGeometry();
    picture = screenshot(processDisplay(), "updater-dialog");
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
      if (button->text() == "Later") button->click();
    }
  });
  poll.start(50);
  controller->currentActions().checkForUpdates();
  runUntilIdle();
  EXPECT_EQ(message, "A new version of Quorvel is available!");
  EXPECT_NE(informative.find("Quorvel 2.0 is now available"), std::string::npos) << informative;
  EXPECT_NE(informative.find("Faster unlocking."), std::string::npos) << informative;
  ASSERT_FALSE(picture.isNull());
  // The dialog covers the painted desktop where it stands.
  EXPECT_FALSE(pixelIs(picture, frame.center().x(), frame.center().y(), kDesktopColour));
  EXPECT_TRUE(pixelIs(picture, 2, picture.height() - 2, kDesktopColour));
  EXPECT_TRUE(simulatedURLOpener().opened().empty());
}

}  // namespace
}  // namespace quorvel::testing
