// Every dialog of the menu panel, opened with a click on its row and closed as a person closes
// it: with its first button, Return or Escape (and the recovery's "Forgotten it?"). The program
// runs on after each, and what was typed took effect: "--check", run beside it, says whether a
// login password is saved, and the app password lets only the right one through.
#include <gtest/gtest.h>

#include "e2e/end_to_end.hpp"
#include "support/B_helpers.hpp"

namespace quorvel::testing {
namespace {

using Item = MenuPanelView::Item;

struct Step {
  const char* what;
  Item row;
  bool passwordSaved;  // what the panel shows when it opens
  std::vector<std::pair<Answer, std::string>> answers;  // one per dialog, in order, with what is typed
  bool savedAfter;
};

class PanelDialogsEndToEnd : public EndToEndTest {
 protected:
  // "--check" beside the running program: whether it says a login password is saved.
  bool checkSaysSaved(int run) {
    auto check = desktop().launch({"--check"}, "check" + std::to_string(run) + ".log");
    EXPECT_TRUE(check && check->wait(kPatience) == std::optional<int>(0));
    const std::string printed = fileText(desktop().folder() + "/check" + std::to_string(run) + ".log");
    EXPECT_NE(printed.find("Password saved"), std::string::npos) << printed;
    return printed.find("yes   Password saved") != std::string::npos;
  }
};

TEST_F(PanelDialogsEndToEnd, EveryDialogClosesWithItsFirstButtonReturnOrEscapeAndTheProgramRunsOn) {
  settings().setBool("hasSeenWelcome", true);
  ASSERT_NO_FATAL_FAILURE(launch());
  const std::string login = StandInDesktop::kLoginPassword;
  const std::vector<Step> steps = {
      {"save the login password, cancelled", Item::password, false, {{Answer::escape, "not this"}}, false},
      {"save the login password", Item::password, false, {{Answer::returnKey, "first login"}}, true},
      {"set the app password", Item::quorvelPassword, true, {{Answer::firstButton, "app one"}}, true},
      {"a wrong app password, its alert closed with OK", Item::password, true,
       {{Answer::firstButton, "wrong"}, {Answer::firstButton, ""}}, true},
      {"a wrong app password, its alert closed with Return", Item::password, true,
       {{Answer::returnKey, "wrong"}, {Answer::returnKey, ""}}, true},
      {"a wrong app password, its alert closed with Escape", Item::password, true,
       {{Answer::firstButton, "wrong"}, {Answer::escape, ""}}, true},
      {"the right app password, then the login password changed", Item::password, true,
       {{Answer::returnKey, "app one"}, {Answer::firstButton, "second login"}}, true},
      {"the app password's gate cancelled", Item::quorvelPassword, true, {{Answer::escape, ""}}, true},
      {"a new app password cancelled", Item::quorvelPassword, true,
       {{Answer::firstButton, "app one"}, {Answer::escape, "not set"}}, true},
      // Forgotten: the login password (PAM) proves the owner; the new app password is set, and
      // the row's own action, a second new-password prompt, is cancelled.
      {"the app password forgotten and set anew", Item::quorvelPassword, true,
       {{Answer::secondButton, ""}, {Answer::returnKey, login}, {Answer::firstButton, "app two"}, {Answer::escape, ""}},
       true},
      {"forgetting the face, cancelled", Item::forgetFace, true,
       {{Answer::returnKey, "app two"}, {Answer::escape, ""}}, true},
      {"forgetting the face", Item::forgetFace, true, {{Answer::firstButton, "app two"}, {Answer::returnKey, ""}}, false},
      // Nothing is saved now, so nothing is behind the gate.
      {"save the login password again", Item::password, false, {{Answer::firstButton, "third login"}}, true},
  };
  int run = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    choose(step.row, step.passwordSaved);
    ProgramWindow previous;
    std::string typed;
    for (std::size_t i = 0; i < step.answers.size(); ++i) {
      const auto& [how, text] = step.answers[i];
      const ProgramWindow shown = dialog();
      ASSERT_FALSE(shown.id.empty());
      // A wrong app password is answered by an alert without a field.
      if (typed == "wrong") {
        EXPECT_LT(shown.frame.height(), previous.frame.height());
      }
      shot(std::to_string(run) + "-dialog-" + std::to_string(i));
      answer(shown, how, text);
      previous = shown;
      typed = text;
    }
    ASSERT_TRUE(runs());
    EXPECT_EQ(checkSaysSaved(++run), step.savedAfter);
  }
  // And it still quits from its panel with status 0.
  const QRect panel = openPanel();
  click(row(panel, Item::quit, true));
  EXPECT_EQ(app().wait(kPatience), std::optional<int>(0)) << log();
}

}  // namespace
}  // namespace quorvel::testing
