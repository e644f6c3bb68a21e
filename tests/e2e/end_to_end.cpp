#include "e2e/end_to_end.hpp"

#include <chrono>
#include <cmath>
#include <sstream>
#include <thread>

#include "support/B_helpers.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

// Polls every tenth of a second: each look runs xdotool.
bool waitUntil(const std::function<bool()>& condition, double timeout) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

QPoint centreOf(const QRect& frame, const platform::Rect& inside) {
  return QPoint(frame.x() + static_cast<int>(inside.midX()), frame.y() + static_cast<int>(inside.midY()));
}

}  // namespace

void EndToEndTest::SetUp() {
  PlatformTest::SetUp();
  useRealFaceLandmarks();
  people_ = recordings::johnsByPerson();
  desktop_ = std::make_unique<StandInDesktop>(StandInDesktop::Options{
      home() + "/desktop", QUORVEL_PAM_WRAPPER, QUORVEL_BINARY_DIR "/quorvel"});
  ASSERT_TRUE(desktop_->start()) << desktop_->error();
}

void EndToEndTest::TearDown() {
  if (HasFailure()) shot("failed");
  app_.reset();
  desktop_.reset();
  PlatformTest::TearDown();
}

platform::defaults::FileUserDefaults EndToEndTest::settings() const {
  return platform::defaults::FileUserDefaults(desktop_->folder() + "/config/com.tessmin.quorvel/defaults.json");
}

const std::vector<std::string>& EndToEndTest::photosOf(const std::string& person) { return people_[person]; }

void EndToEndTest::launch() {
  app_ = desktop_->launch();
  ASSERT_TRUE(app_) << "the program did not start";
  trayIcon();
}

std::string EndToEndTest::log() const { return fileText(desktop_->folder() + "/quorvel.log"); }

::testing::AssertionResult EndToEndTest::runs() {
  if (const auto status = app_ ? app_->wait(0.05) : std::optional<int>(-1)) {
    return ::testing::AssertionFailure() << "the program ended with status " << *status << "; its log:\n" << log();
  }
  return ::testing::AssertionSuccess();
}

std::vector<ProgramWindow> EndToEndTest::windows() {
  std::string out;
  runCommand({"xdotool", "search", "--onlyvisible", "--class", "quorvel", "getwindowgeometry", "--shell", "%@",
              "getwindowname", "%@"},
             {desktop_->display().environment()}, 20, &out);
  std::vector<ProgramWindow> found;
  std::size_t named = 0;
  for (const std::string& line : linesOf(out)) {
    const auto equals = line.find('=');
    const std::string key = line.substr(0, equals);
    const int value = equals == std::string::npos ? 0 : std::atoi(line.c_str() + equals + 1);
    if (key == "WINDOW") {
      found.push_back({line.substr(equals + 1), {}, ""});
    } else if (key == "X" && !found.empty()) {
      found.back().frame.moveLeft(value);
    } else if (key == "Y" && !found.empty()) {
      found.back().frame.moveTop(value);
    } else if (key == "WIDTH" && !found.empty()) {
      found.back().frame.setWidth(value);
    } else if (key == "HEIGHT" && !found.empty()) {
      found.back().frame.setHeight(value);
    } else if (key != "SCREEN" && named < found.size()) {
      found[named++].name = line;  // the names follow the geometries, in the same order
    }
  }
  return found;
}

std::optional<ProgramWindow> EndToEndTest::waitForWindow(const std::function<bool(const ProgramWindow&)>& match,
                                                         double timeout) {
  std::optional<ProgramWindow> found;
  waitUntil([&] {
    for (const auto& window : windows()) {
      if (match(window)) return (found = window).has_value();
    }
    return false;
  }, timeout);
  return found;
}

bool EndToEndTest::windowGone(const std::string& id, double timeout) {
  return waitUntil([&] {
    for (const auto& window : windows()) {
      if (window.id == id) return false;
    }
    return true;
  }, timeout);
}

QRect EndToEndTest::trayIcon() {
  const QRect tray = desktop_->trayArea();
  const auto icon = waitForWindow([&](const ProgramWindow& w) { return tray.contains(w.frame); });
  EXPECT_TRUE(icon) << "no icon in the tray; the program's log:\n" << log();
  return icon ? icon->frame : QRect();
}

QImage EndToEndTest::iconImage(const std::string& name) {
  const QRect icon = trayIcon();
  QImage last, image;
  const auto drawn = [](const QImage& image) { return !boxOf(image, 0xffffffff).isEmpty(); };
  EXPECT_TRUE(waitUntil([&] {
    last = image;
    image = shot(name).copy(icon);
    return drawn(image) && image == last;
  }, kPatience)) << "no icon drawn in the tray";
  return image;
}

QRect EndToEndTest::openPanel() {
  const QRect icon = trayIcon();
  std::optional<ProgramWindow> panel;
  // A click while the tray still lays out a new icon finds nothing: click again then.
  EXPECT_TRUE(waitUntil([&] {
    click(icon.center());
    panel = waitForWindow([](const ProgramWindow& w) { return w.frame.width() == MenuPanelView::width; }, 10);
    return panel.has_value();
  }, kPatience)) << "the panel did not open; the program's log:\n" << log();
  return panel ? panel->frame : QRect();
}

QPoint EndToEndTest::row(const QRect& panel, MenuPanelView::Item item, bool passwordSaved) {
  MenuPanelState state;
  if (passwordSaved) state.quorvelPasswordTitle = "Change Quorvel password\u2026";
  const MenuPanelView view(state, {});
  EXPECT_EQ(panel.height(), static_cast<int>(std::ceil(view.size().height))) << "the panel shows other rows";
  const auto found = view.row(item);
  EXPECT_TRUE(found);
  return found ? centreOf(panel, found->frame) : QPoint();
}

void EndToEndTest::choose(MenuPanelView::Item item, bool passwordSaved) {
  const QRect panel = openPanel();
  click(row(panel, item, passwordSaved));
}

ProgramWindow EndToEndTest::dialog() {
  const std::string display = desktop_->display().name();
  const auto found = waitForWindow([&](const ProgramWindow& w) {
    std::string focus;
    return w.name == "Quorvel" && w.id != lastDialog_ &&
           runCommand({"xdotool", "getwindowfocus"}, {"DISPLAY=" + display}, 20, &focus) == 0 &&
           focus.find(w.id) == 0;
  });
  EXPECT_TRUE(found) << "no dialog came; the program's log:\n" << log();
  if (!found) return {};
  lastDialog_ = found->id;
  return *found;
}

void EndToEndTest::answer(const ProgramWindow& dialog, Answer how, const std::string& text) {
  if (!text.empty()) type(text);
  switch (how) {
    // The first button is the right-most, inside the dialog's margins (20 right, 16 below).
    case Answer::firstButton: click(dialog.frame.bottomRight() - QPoint(20 + 30, 16 + 10)); break;
    case Answer::returnKey: keys({"Return"}); break;
    case Answer::escape: keys({"Escape"}); break;
    // From the field, the keyboard reaches the buttons from the left: the last, then the second.
    case Answer::secondButton: keys({"Tab", "Tab", "space"}); break;
  }
  EXPECT_TRUE(windowGone(dialog.id)) << "the dialog stayed";
}

std::optional<ProgramWindow> EndToEndTest::tutorialWindow(TutorialStep step, double timeout) {
  const auto size = tutorial_step::size(step);
  const int width = static_cast<int>(size.width) + 28, height = static_cast<int>(size.height);
  return waitForWindow(
      [&](const ProgramWindow& w) { return w.frame.width() == width && w.frame.height() == height; }, timeout);
}

ProgramWindow EndToEndTest::tutorialAt(TutorialStep step, double timeout) {
  const auto found = tutorialWindow(step, timeout);
  EXPECT_TRUE(found) << "the tutorial is not at \"" << tutorial_step::title(step) << "\"; the program's log:\n" << log();
  return found.value_or(ProgramWindow{});
}

TutorialView::Structure EndToEndTest::tutorialLayout(const ProgramWindow& tutorial, TutorialStep step) {
  // A model at that step, on the simulated platform.
  auto model = TutorialModel::make();
  model->step = step;
  return TutorialView(model).structure(platform::Rect(0, 0, tutorial.frame.width(), tutorial.frame.height()));
}

void EndToEndTest::clickNext(const ProgramWindow& tutorial, TutorialStep step) {
  click(centreOf(tutorial.frame, tutorialLayout(tutorial, step).next.frame));
}

void EndToEndTest::click(QPoint point) {
  xdotool(desktop_->display().name(),
          {"mousemove", std::to_string(point.x()), std::to_string(point.y()), "click", "1"});
}

void EndToEndTest::keys(const std::vector<std::string>& names) {
  std::vector<std::string> arguments{"key", "--delay", "50"};
  arguments.insert(arguments.end(), names.begin(), names.end());
  xdotool(desktop_->display().name(), arguments);
}

void EndToEndTest::type(const std::string& text) {
  xdotool(desktop_->display().name(), {"type", "--delay", "30", text});
}

QImage EndToEndTest::shot(const std::string& name) {
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return screenshot(desktop_->display().name(), "e2e-" + test + "-" + name);
}

}  // namespace quorvel::testing
