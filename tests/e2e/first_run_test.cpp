// A new user's whole road: the first start opens the tutorial, whose face step enrols from a
// head scan (a recording of a real face) and whose password step saves what is typed into it;
// the tray icon turns from the warning to the face as soon as the tutorial has set everything
// up; a lock is unlocked by that face (PAM checks the password, logind unlocks, the lock screen
// goes), another person's face leaves the session locked; Quit ends the program with status 0,
// and a restart shows no tutorial and the same ready icon.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "e2e/end_to_end.hpp"
#include "support/B_helpers.hpp"

namespace quorvel::testing {
namespace {

using Item = MenuPanelView::Item;

bool waitFor(const std::function<bool()>& condition, double timeout = kPatience) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class FirstRunEndToEnd : public EndToEndTest {
 protected:
  bool showing(const std::string& person, std::size_t from) {
    const auto& photos = photosOf(person);
    return desktop().showCamera(recordings::matchFrames({photos.begin() + static_cast<long>(from), photos.end()}), 4);
  }
  int unlockCalls() { return desktop().buses().managerCalls("UnlockSession"); }
};

TEST_F(FirstRunEndToEnd, TheTutorialSetsItUpTheFaceUnlocksAStrangerDoesNotAndARestartKeepsIt) {
  std::string error;
  const auto scan = recordings::headScan(photosOf("John_Salley").at(0), 0.1, &error);
  ASSERT_TRUE(desktop().showCamera(scan, 10)) << error << desktop().error();
  ASSERT_NO_FATAL_FAILURE(launch());
  const QImage warning = iconImage("icon-first-start");

  // Welcome; the camera (a recording) needs no permission, so Next goes to the face step,
  // whose scan enrols and moves on to the password by itself.
  const auto failures = [&] { return countOf(log(), "Enrolment failed"); };
  int failed = failures();
  clickNext(tutorialAt(TutorialStep::welcome), TutorialStep::welcome);
  // The scan shows what the camera sees in its circle: the face, not the dark disc.
  const ProgramWindow face = tutorialAt(TutorialStep::face);
  const auto layout = tutorialLayout(face, TutorialStep::face);
  ASSERT_EQ(std::count_if(layout.body.begin(), layout.body.end(),
                          [](const auto& e) { return e.kind == TutorialView::Element::Kind::scan; }), 1);
  for (const auto& element : layout.body) {
    if (element.kind != TutorialView::Element::Kind::scan) continue;
    const QPoint centre = face.frame.topLeft() + QPoint(int(element.frame.midX()), int(element.frame.midY()));
    EXPECT_TRUE(waitFor([&] { return qGray(shot("face-step").pixel(centre)) > 60; })) << "no picture in the scan";
  }
  // The scan enrols and the tutorial moves on by itself, also on a loaded machine where the
  // first frame takes seconds (the landmark model loads with it).
  std::optional<ProgramWindow> password;
  waitFor([&] { return (password = tutorialWindow(TutorialStep::password, 0)) || failures() > failed; },
          2 * kPatience);
  EXPECT_EQ(failures(), failed) << "the scan gave up";
  ASSERT_TRUE(password) << "the scan did not enrol; the program's log:\n" << log();
  shot("password-step");
  type(StandInDesktop::kLoginPassword);
  keys({"Return"});
  // Accessibility: logind names the session and PAM is there, so that step is skipped.
  clickNext(tutorialAt(TutorialStep::palm), TutorialStep::palm);
  const ProgramWindow ready = tutorialAt(TutorialStep::ready);
  EXPECT_EQ(password->id, ready.id) << "one tutorial window throughout";
  clickNext(ready, TutorialStep::ready);
  EXPECT_TRUE(windowGone(ready.id));
  QImage set;
  EXPECT_TRUE(waitFor([&] { return (set = iconImage("icon-set-up")) != warning; }, 20))
      << "the tray icon still shows the warning";
  ASSERT_TRUE(runs());

  // A lock: the face on camera unlocks the session through PAM and logind.
  ASSERT_TRUE(showing("John_Salley", 5));
  ASSERT_TRUE(desktop().lock());
  EXPECT_TRUE(waitFor([&] { return desktop().locked() == std::optional<bool>(true); })) << log();
  EXPECT_TRUE(waitFor([&] { return desktop().locked() == std::optional<bool>(false); })) << log();
  EXPECT_EQ(unlockCalls(), 1);
  EXPECT_NE(log().find("The lock screen's password was accepted"), std::string::npos) << log();

  // Another person: the attempt gives up and the session stays locked until the user unlocks.
  ASSERT_TRUE(showing("John_Savage", 0));
  ASSERT_TRUE(desktop().lock());
  EXPECT_TRUE(waitFor([&] { return desktop().locked() == std::optional<bool>(true); })) << log();
  EXPECT_TRUE(waitFor([&] { return log().find("Face present but no match") != std::string::npos; })) << log();
  EXPECT_EQ(desktop().locked(), std::optional<bool>(true));
  EXPECT_EQ(unlockCalls(), 1);
  ASSERT_TRUE(desktop().buses().emitSessionSignal(kOwnSession, "Unlock"));
  EXPECT_TRUE(waitFor([&] { return desktop().locked() == std::optional<bool>(false); }));

  // Quit from the panel, then start again: no tutorial, and the icon says ready at once.
  click(row(openPanel(), Item::quit, true));
  ASSERT_EQ(app().wait(kPatience), std::optional<int>(0)) << log();
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_TRUE(waitFor([&] { return iconImage("icon-restart") == set; }, 20)) << "the restarted icon differs";
  EXPECT_FALSE(waitForWindow([](const ProgramWindow& w) { return w.frame.width() > 100; }, 3))
      << "a window opened by itself";
  // The keyboard reaches Quit too: Up selects the last row, Return presses it.
  openPanel();
  keys({"Up", "Return"});
  EXPECT_EQ(app().wait(kPatience), std::optional<int>(0)) << log();
}

}  // namespace
}  // namespace quorvel::testing
