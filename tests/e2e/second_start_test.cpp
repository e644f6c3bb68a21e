// The application runs once in a session: a second start hands over to the running one, which
// opens its panel, and ends with status 0, leaving one icon in the tray; a diagnostic switch is
// no start of the application and runs beside it; once the first has quit, a start is the
// application again.
#include <gtest/gtest.h>

#include "e2e/end_to_end.hpp"
#include "support/B_helpers.hpp"

namespace quorvel::testing {
namespace {

class SecondStartEndToEnd : public EndToEndTest {
 protected:
  int icons() {
    int count = 0;
    for (const auto& window : windows()) count += desktop().trayArea().contains(window.frame);
    return count;
  }
};

TEST_F(SecondStartEndToEnd, HandsOverToTheRunningOneWhichOpensItsPanelWhileDiagnosticsRunBeside) {
  settings().setBool("hasSeenWelcome", true);
  ASSERT_NO_FATAL_FAILURE(launch());
  iconImage("first");  // the icon is drawn in its place before the user starts it again

  auto second = desktop().launch({}, "second.log");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->wait(kPatience), std::optional<int>(0));
  EXPECT_NE(fileText(desktop().folder() + "/second.log").find("Quorvel is already running"), std::string::npos);
  const auto panel = waitForWindow([](const ProgramWindow& w) { return w.frame.width() == MenuPanelView::width; });
  ASSERT_TRUE(panel) << "the running one did not open its panel; its log:\n" << log();
  // Under the icon, as a click on it would have opened it.
  EXPECT_GT(panel->frame.top(), trayIcon().bottom());
  EXPECT_EQ(panel->frame.right(), desktop().display().width() - 1);
  shot("handed-over");
  EXPECT_EQ(icons(), 1);
  EXPECT_NE(log().find("Another start of Quorvel handed over to this one"), std::string::npos);

  // With the panel open, another start leaves it open.
  second = desktop().launch({}, "third.log");
  EXPECT_EQ(second->wait(kPatience), std::optional<int>(0));
  EXPECT_FALSE(windowGone(panel->id, 2)) << "the panel closed";

  auto check = desktop().launch({"--check"}, "check.log");
  EXPECT_EQ(check->wait(kPatience), std::optional<int>(0));
  EXPECT_NE(fileText(desktop().folder() + "/check.log").find("Ready to unlock: "), std::string::npos);
  ASSERT_TRUE(runs());

  keys({"Up", "Return"});  // Quit, from the open panel
  ASSERT_EQ(app().wait(kPatience), std::optional<int>(0)) << log();
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_TRUE(runs());
}

}  // namespace
}  // namespace quorvel::testing
