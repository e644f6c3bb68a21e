// The shipped build/quorvel on the stand-in desktop (support/stand_in_desktop.hpp), driven only
// as a person drives it: X input from outside (xdotool clicks and keys) on its real windows,
// which are found with xdotool search, and screenshots (test output, "e2e-*.png"). Where a
// row or a button lies is taken from the program's own layout code, run in this process on the
// simulated platform of the test fixture (which also finds faces for the recordings).
#pragma once

#include <QImage>
#include <QRect>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/menu_panel_view.hpp"
#include "onboarding/tutorial_model.hpp"
#include "onboarding/tutorial_view.hpp"
#include "platform/defaults/defaults_linux.hpp"
#include "support/platform_fixture.hpp"
#include "support/stand_in_desktop.hpp"

namespace quorvel::testing {

// Every wait for the program: generous, for a loaded machine of two cores.
inline constexpr double kPatience = 60;

struct ProgramWindow {
  std::string id;
  QRect frame;
  std::string name;
};

// How a dialog is answered: its first button clicked, Return, Escape, or its second button
// reached with the keyboard.
enum class Answer { firstButton, returnKey, escape, secondButton };

class EndToEndTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  StandInDesktop& desktop() { return *desktop_; }
  // The program's settings file.
  platform::defaults::FileUserDefaults settings() const;
  // A person's photos, by name (examples/johns).
  const std::vector<std::string>& photosOf(const std::string& person);

  // Starts the program and waits for its icon in the tray.
  void launch();
  ChildProcess& app() { return *app_; }
  // The program's log so far.
  std::string log() const;
  // Whether the program still runs; a failure, with its status and log, when it does not.
  ::testing::AssertionResult runs();

  // --- its windows ---
  std::vector<ProgramWindow> windows();
  // The first window that `match` accepts, within `timeout`.
  std::optional<ProgramWindow> waitForWindow(const std::function<bool(const ProgramWindow&)>& match,
                                             double timeout = kPatience);
  bool windowGone(const std::string& id, double timeout = kPatience);
  QRect trayIcon();
  // The icon as drawn in the tray (white on the tray), once two looks agree.
  QImage iconImage(const std::string& name);

  // --- the panel ---
  // Clicks the tray icon until the panel shows; its frame.
  QRect openPanel();
  // The panel's row `item` for what the panel shows now (no login password saved: no
  // app-password row), in screen coordinates.
  QPoint row(const QRect& panel, MenuPanelView::Item item, bool passwordSaved);
  // Opens the panel and clicks the row.
  void choose(MenuPanelView::Item item, bool passwordSaved);

  // --- dialogs ---
  // The next dialog (another window than the last one answered), once it has the keyboard.
  ProgramWindow dialog();
  // Answers it: its first button clicked, Return or Escape, after typing `text` if any; and
  // waits until it is gone.
  void answer(const ProgramWindow& dialog, Answer how, const std::string& text = "");

  // --- the tutorial ---
  // The tutorial window once it has the size of `step` (28 wider than the step's panel); a
  // failure when it does not come.
  std::optional<ProgramWindow> tutorialWindow(TutorialStep step, double timeout);
  ProgramWindow tutorialAt(TutorialStep step, double timeout = kPatience);
  // Where things are in the tutorial window at `step`, by the tutorial's own layout.
  TutorialView::Structure tutorialLayout(const ProgramWindow& tutorial, TutorialStep step);
  // Clicks its Next (on the last step: Done).
  void clickNext(const ProgramWindow& tutorial, TutorialStep step);

  void click(QPoint point);
  void keys(const std::vector<std::string>& names);
  void type(const std::string& text);
  QImage shot(const std::string& name);

 private:
  std::unique_ptr<StandInDesktop> desktop_;
  std::unique_ptr<ChildProcess> app_;
  std::map<std::string, std::vector<std::string>> people_;
  std::string lastDialog_;
};

}  // namespace quorvel::testing
