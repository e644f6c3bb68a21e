// The menu panel: which rows it shows for each state, their texts, symbols, tints and switch
// states, what activating (or clicking) each row runs, hovering, layout, and a rendering a
// person can look at in the test output folder.
#include "app/menu_panel_view.hpp"

#include "platform/symbols/symbol_set.hpp"
#include "support/platform_fixture.hpp"

#include <QColor>
#include <QFontMetricsF>
#include <QImage>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include <memory>
#include <string>
#include <vector>

namespace {

using quorvel::MenuPanelActions;
using quorvel::MenuPanelState;
using quorvel::MenuPanelView;
using Item = MenuPanelView::Item;
using Kind = MenuPanelView::Element::Kind;
using Tint = MenuPanelView::Tint;

const std::string kEllipsis = "\xE2\x80\xA6";
const std::string kReady = "Ready, your face will unlock this Mac";

// A snapshot as the controller makes it for a fresh customer install: nothing set up.
MenuPanelState freshState() {
  MenuPanelState state;
  state.statusText = "Set up your face first";
  state.statusIsWarning = true;
  state.unlockEnabled = true;
  state.enrolTitle = "Set up my face" + kEllipsis;
  state.passwordTitle = "Save my login password" + kEllipsis;
  state.playAnimation = true;
  return state;
}

// Everything the panel can show at once.
MenuPanelState fullState() {
  MenuPanelState state = freshState();
  state.enrolTitle = "Set up my face again" + kEllipsis;
  state.passwordTitle = "Change my saved password" + kEllipsis;
  state.quorvelPasswordTitle = "Change Quorvel password" + kEllipsis;
  state.accessibilityWarning = true;
  state.isDeveloper = true;
  state.engines = {{"Standard", true, true}, {"Personal use", false, true}};
  state.authorizationAssistAvailable = true;
  return state;
}

// Records which callbacks ran, in order.
struct Recorder {
  std::vector<std::string> calls;
  MenuPanelActions actions() {
    MenuPanelActions a;
    auto note = [this](const char* name) { return [this, name] { calls.emplace_back(name); }; };
    a.toggleUnlock = note("toggleUnlock");
    a.showEnrolment = note("showEnrolment");
    a.showTutorial = note("showTutorial");
    a.setPassword = note("setPassword");
    a.setQuorvelPassword = note("setQuorvelPassword");
    a.grantAccessibility = note("grantAccessibility");
    a.toggleAnimation = note("toggleAnimation");
    a.togglePalmToCancel = note("togglePalmToCancel");
    a.toggleAuthorizationAssist = note("toggleAuthorizationAssist");
    a.toggleDockIcon = note("toggleDockIcon");
    a.toggleLoginItem = note("toggleLoginItem");
    a.chooseEngine = [this](const std::string& name) { calls.push_back("chooseEngine:" + name); };
    a.checkForUpdates = note("checkForUpdates");
    a.forgetFace = note("forgetFace");
    a.quit = note("quit");
    a.runTest = note("runTest");
    a.previewAnimation = note("previewAnimation");
    a.close = note("close");
    return a;
  }
};

std::vector<std::string> titles(const MenuPanelView& view) {
  std::vector<std::string> result;
  for (const auto& row : view.rows()) result.push_back(row.title);
  return result;
}

std::vector<int> sectionNumbers(const MenuPanelView& view) {
  std::vector<int> result;
  for (const auto& section : view.sections()) result.push_back(section.number);
  return result;
}

class MenuPanelViewTest : public quorvel::testing::PlatformTest {
 protected:
  Recorder recorder;
};

TEST_F(MenuPanelViewTest, CustomerBuildShowsTheEverydayRowsInOrder) {
  MenuPanelView view(freshState(), recorder.actions());
  EXPECT_EQ(sectionNumbers(view), (std::vector<int>{1, 2, 4, 5, 6}));
  EXPECT_EQ(titles(view), (std::vector<std::string>{
                              "Unlock with my face",
                              "Set up my face" + kEllipsis,
                              "Show the tutorial again",
                              "Save my login password" + kEllipsis,
                              "Play the notch animation",
                              "Hold up a hand to cancel",
                              "Show Quorvel in the Dock",
                              "Open Quorvel at login",
                              "Check for Updates" + kEllipsis,
                              "Forget my face",
                              "Quit Quorvel",
                          }));
  struct Expected { Item item; Kind kind; const char* symbol; Tint tint; };
  const std::vector<Expected> expected = {
      {Item::unlock, Kind::toggle, "faceid", Tint::primary},
      {Item::enrolment, Kind::action, "person.crop.square", Tint::primary},
      {Item::tutorial, Kind::action, "questionmark.circle", Tint::primary},
      {Item::password, Kind::action, "key", Tint::primary},
      {Item::playAnimation, Kind::toggle, "sparkles", Tint::primary},
      {Item::palmToCancel, Kind::toggle, "hand.raised", Tint::primary},
      {Item::dockIcon, Kind::toggle, "dock.rectangle", Tint::primary},
      {Item::loginItem, Kind::toggle, "power", Tint::primary},
      {Item::checkForUpdates, Kind::action, "arrow.triangle.2.circlepath", Tint::primary},
      {Item::forgetFace, Kind::action, "trash", Tint::red},
      {Item::quit, Kind::action, "xmark.circle", Tint::primary},
  };
  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].title);
    EXPECT_EQ(rows[i].item, expected[i].item);
    EXPECT_EQ(rows[i].kind, expected[i].kind);
    EXPECT_EQ(rows[i].systemImage, expected[i].symbol);
    EXPECT_EQ(rows[i].tint, expected[i].tint);
    EXPECT_FALSE(rows[i].hovering);
  }
  // No developer rows, no engine list, no app-password, Accessibility or assist rows.
  for (Item hidden : {Item::testMatch, Item::previewAnimation, Item::quorvelPassword,
                      Item::accessibility, Item::authorizationAssist}) {
    EXPECT_FALSE(view.row(hidden).has_value());
  }
  for (const auto& section : view.sections()) {
    for (const auto& element : section.elements) {
      EXPECT_NE(element.kind, Kind::heading);
      EXPECT_NE(element.kind, Kind::caption);
    }
  }
}

TEST_F(MenuPanelViewTest, TitlesOfTheSetupRowsFollowTheSnapshot) {
  MenuPanelState state = freshState();
  state.enrolTitle = "Set up my face again" + kEllipsis;
  state.passwordTitle = "Change my saved password" + kEllipsis;
  MenuPanelView view(state, recorder.actions());
  EXPECT_EQ(view.row(Item::enrolment)->title, "Set up my face again" + kEllipsis);
  EXPECT_EQ(view.row(Item::password)->title, "Change my saved password" + kEllipsis);
}

TEST_F(MenuPanelViewTest, AppPasswordRowOnlyWithATitleAndAfterThePasswordRow) {
  {
    MenuPanelView view(freshState(), recorder.actions());  // no login password saved
    EXPECT_FALSE(view.row(Item::quorvelPassword));
    EXPECT_FALSE(view.activate(Item::quorvelPassword));
  }
  for (const std::string& title : {"Protect these with a Quorvel password" + kEllipsis,
                                  "Change Quorvel password" + kEllipsis}) {
    MenuPanelState state = freshState();
    state.passwordTitle = "Change my saved password" + kEllipsis;
    state.quorvelPasswordTitle = title;
    MenuPanelView view(state, recorder.actions());
    const auto row = view.row(Item::quorvelPassword);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->title, title);
    EXPECT_EQ(row->systemImage, "lock.shield");
    EXPECT_EQ(row->tint, Tint::primary);
    EXPECT_EQ(row->kind, Kind::action);
    const auto section2 = view.sections()[1];
    ASSERT_EQ(section2.number, 2);
    ASSERT_EQ(section2.elements.size(), 4u);
    EXPECT_EQ(section2.elements[2].item, Item::password);
    EXPECT_EQ(section2.elements[3].item, Item::quorvelPassword);
  }
}

TEST_F(MenuPanelViewTest, AccessibilityRowIsOrangeAndShownOnlyWhilePermissionIsMissing) {
  {
    MenuPanelView view(freshState(), recorder.actions());
    EXPECT_FALSE(view.row(Item::accessibility));
  }
  MenuPanelState state = freshState();
  state.quorvelPasswordTitle = "Change Quorvel password" + kEllipsis;
  state.accessibilityWarning = true;
  MenuPanelView view(state, recorder.actions());
  const auto row = view.row(Item::accessibility);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->title, "Grant Accessibility permission" + kEllipsis);
  EXPECT_EQ(row->systemImage, "exclamationmark.triangle");
  EXPECT_EQ(row->tint, Tint::orange);
  // Last row of the setup section, after the app-password row.
  EXPECT_EQ(view.sections()[1].elements.back().item, Item::accessibility);
}

TEST_F(MenuPanelViewTest, DeveloperSectionWithTheEngineList) {
  MenuPanelState state = freshState();
  state.isDeveloper = true;
  state.engines = {{"Standard", false, true}, {"Personal use", true, false}};
  MenuPanelView view(state, recorder.actions());
  EXPECT_EQ(sectionNumbers(view), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  const auto developer = view.sections()[2];
  ASSERT_EQ(developer.elements.size(), 5u);
  EXPECT_EQ(developer.elements[0].item, Item::testMatch);
  EXPECT_EQ(developer.elements[0].title, "Test face match");
  EXPECT_EQ(developer.elements[0].systemImage, "checkmark.seal");
  EXPECT_EQ(developer.elements[1].item, Item::previewAnimation);
  EXPECT_EQ(developer.elements[1].title, "Preview the animation");
  EXPECT_EQ(developer.elements[1].systemImage, "play.circle");
  EXPECT_EQ(developer.elements[2].kind, Kind::heading);
  EXPECT_EQ(developer.elements[2].title, "Face model");
  EXPECT_EQ(developer.elements[2].tint, Tint::secondary);
  // Entries in the snapshot's order; the selected one is checked in green.
  const auto standard = developer.elements[3];
  const auto personal = developer.elements[4];
  EXPECT_EQ(standard.title, "Standard");
  EXPECT_EQ(standard.systemImage, "circle");
  EXPECT_EQ(standard.tint, Tint::primary);
  EXPECT_EQ(standard.kind, Kind::action);
  EXPECT_EQ(personal.title, "Personal use");
  EXPECT_EQ(personal.engineName, "Personal use");
  EXPECT_EQ(personal.systemImage, "checkmark.circle.fill");
  EXPECT_EQ(personal.tint, Tint::green);
  // `isSelectable` is not the panel's business: the entry is shown and can be chosen.
  EXPECT_TRUE(view.activateEngine("Personal use"));
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"chooseEngine:Personal use", "close"}));
}

TEST_F(MenuPanelViewTest, DeveloperSectionWithoutEnginesHasNoList) {
  MenuPanelState state = freshState();
  state.isDeveloper = true;
  MenuPanelView view(state, recorder.actions());
  const auto developer = view.sections()[2];
  ASSERT_EQ(developer.number, 3);
  ASSERT_EQ(developer.elements.size(), 2u);
  EXPECT_EQ(developer.elements[0].item, Item::testMatch);
  EXPECT_EQ(developer.elements[1].item, Item::previewAnimation);
}

TEST_F(MenuPanelViewTest, CustomerBuildIgnoresEnginesAndHasNoDeveloperDivider) {
  MenuPanelState state = freshState();
  state.engines = {{"Standard", true, true}};
  MenuPanelView view(state, recorder.actions());
  EXPECT_EQ(sectionNumbers(view), (std::vector<int>{1, 2, 4, 5, 6}));
  EXPECT_FALSE(view.engineRow("Standard"));
  EXPECT_FALSE(view.activateEngine("Standard"));
  EXPECT_FALSE(view.activate(Item::testMatch));
  EXPECT_FALSE(view.activate(Item::previewAnimation));
  EXPECT_TRUE(recorder.calls.empty());
  // One divider per section shown, and the developer build is taller by its section.
  MenuPanelState developer = state;
  developer.isDeveloper = true;
  MenuPanelView developerView(developer, recorder.actions());
  EXPECT_EQ(view.sections().size() + 1, developerView.sections().size());
  EXPECT_GT(developerView.size().height, view.size().height + 3 * 28);
}

TEST_F(MenuPanelViewTest, SwitchesShowTheSnapshotsStates) {
  struct Case { bool MenuPanelState::*field; Item item; };
  const std::vector<Case> cases = {
      {&MenuPanelState::unlockEnabled, Item::unlock},
      {&MenuPanelState::playAnimation, Item::playAnimation},
      {&MenuPanelState::palmToCancel, Item::palmToCancel},
      {&MenuPanelState::authorizationAssist, Item::authorizationAssist},
      {&MenuPanelState::showInDock, Item::dockIcon},
      {&MenuPanelState::openAtLogin, Item::loginItem},
  };
  for (const auto& c : cases) {
    for (bool on : {false, true}) {
      MenuPanelState state = fullState();
      for (const auto& other : cases) state.*(other.field) = !on;  // the others the opposite
      state.*(c.field) = on;
      MenuPanelView view(state, recorder.actions());
      const auto row = view.row(c.item);
      ASSERT_TRUE(row);
      EXPECT_EQ(row->kind, Kind::toggle);
      EXPECT_EQ(row->isOn, on) << row->title;
      for (const auto& other : cases) {
        if (other.item != c.item) {
          EXPECT_EQ(view.row(other.item)->isOn, !on);
        }
      }
    }
  }
}

TEST_F(MenuPanelViewTest, AssistSwitchAndCaptionOnlyWhenTheAssistIsAvailable) {
  MenuPanelState state = freshState();
  state.authorizationAssist = true;  // enabled, but not available: still hidden
  MenuPanelView hidden(state, recorder.actions());
  EXPECT_FALSE(hidden.row(Item::authorizationAssist));
  EXPECT_FALSE(hidden.activate(Item::authorizationAssist));
  EXPECT_TRUE(recorder.calls.empty());

  state.authorizationAssistAvailable = true;
  state.authorizationAssistStatus = "Watching for dialogs";
  MenuPanelView shown(state, recorder.actions());
  const auto switches = shown.sections()[2];
  ASSERT_EQ(switches.number, 4);
  ASSERT_EQ(switches.elements.size(), 6u);
  EXPECT_EQ(switches.elements[2].item, Item::authorizationAssist);
  EXPECT_EQ(switches.elements[2].title, "Authorize system changes (test)");
  EXPECT_EQ(switches.elements[2].systemImage, "lock.shield");
  EXPECT_TRUE(switches.elements[2].isOn);
  EXPECT_EQ(switches.elements[3].kind, Kind::caption);
  EXPECT_EQ(switches.elements[3].title, "Watching for dialogs");
  EXPECT_EQ(switches.elements[3].tint, Tint::secondary);
  EXPECT_EQ(switches.elements[4].item, Item::dockIcon);
  EXPECT_TRUE(shown.activate(Item::authorizationAssist));
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"toggleAuthorizationAssist"}));
}

TEST_F(MenuPanelViewTest, HeaderSymbolIsGreenWhenReadyAndOrangeWithABlocker) {
  MenuPanelState state = freshState();
  state.statusText = kReady;
  state.statusIsWarning = false;
  MenuPanelView ready(state, recorder.actions());
  EXPECT_EQ(ready.header().systemImage, "faceid");
  EXPECT_EQ(ready.header().title, "Quorvel");
  EXPECT_EQ(ready.header().symbolTint, Tint::green);
  EXPECT_EQ(ready.header().statusLine, kReady);

  state.statusText = "Turned off";
  state.statusIsWarning = true;
  MenuPanelView off(state, recorder.actions());
  EXPECT_EQ(off.header().symbolTint, Tint::orange);
  EXPECT_EQ(off.header().statusLine, "Turned off");

  const auto green = MenuPanelView::colour(Tint::green);
  EXPECT_DOUBLE_EQ(green.red, 0.19);
  EXPECT_DOUBLE_EQ(green.green, 0.82);
  EXPECT_DOUBLE_EQ(green.blue, 0.35);
  EXPECT_DOUBLE_EQ(green.alpha, 1);
}

TEST_F(MenuPanelViewTest, LongStatusTextIsCutToOneLine) {
  MenuPanelState state = freshState();
  state.statusText = "The camera is in use by another application, so Quorvel cannot look for "
                     "your face until it is free again";
  MenuPanelView view(state, recorder.actions());
  const auto header = view.header();
  EXPECT_EQ(header.statusText, state.statusText);
  ASSERT_LT(header.statusLine.size(), state.statusText.size());
  EXPECT_EQ(header.statusLine.substr(header.statusLine.size() - kEllipsis.size()), kEllipsis);
  EXPECT_EQ(state.statusText.rfind(header.statusLine.substr(0, 10), 0), 0u);
  // The header keeps its height.
  MenuPanelView shortView(freshState(), recorder.actions());
  EXPECT_EQ(view.header().frame, shortView.header().frame);
}

// Every row, activated by identity, runs exactly its callback; action rows then close.
TEST_F(MenuPanelViewTest, ActivatingEachRowRunsExactlyItsCallback) {
  struct Case { Item item; const char* callback; bool closes; };
  const std::vector<Case> cases = {
      {Item::unlock, "toggleUnlock", false},
      {Item::enrolment, "showEnrolment", true},
      {Item::tutorial, "showTutorial", true},
      {Item::password, "setPassword", true},
      {Item::quorvelPassword, "setQuorvelPassword", true},
      {Item::accessibility, "grantAccessibility", true},
      {Item::testMatch, "runTest", true},
      {Item::previewAnimation, "previewAnimation", true},
      {Item::playAnimation, "toggleAnimation", false},
      {Item::palmToCancel, "togglePalmToCancel", false},
      {Item::authorizationAssist, "toggleAuthorizationAssist", false},
      {Item::dockIcon, "toggleDockIcon", false},
      {Item::loginItem, "toggleLoginItem", false},
      {Item::checkForUpdates, "checkForUpdates", true},
      {Item::forgetFace, "forgetFace", true},
      {Item::quit, "quit", true},
  };
  MenuPanelView view(fullState(), recorder.actions());
  ASSERT_EQ(view.rows().size(), cases.size() + 2);  // plus two engine rows
  for (const auto& c : cases) {
    recorder.calls.clear();
    const auto before = view.row(c.item);
    ASSERT_TRUE(before);
    EXPECT_TRUE(view.activate(c.item));
    std::vector<std::string> expected = {c.callback};
    if (c.closes) expected.push_back("close");
    EXPECT_EQ(recorder.calls, expected) << before->title;
    // A switch keeps showing the old state until a new snapshot is rendered.
    EXPECT_EQ(view.row(c.item)->isOn, before->isOn);
  }
  recorder.calls.clear();
  EXPECT_TRUE(view.activateEngine("Standard"));
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"chooseEngine:Standard", "close"}));
  recorder.calls.clear();
  EXPECT_FALSE(view.activateEngine("No such model"));
  EXPECT_FALSE(view.activate(Item::engine));
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(MenuPanelViewTest, ClickingARowRunsItAndClickingElsewhereDoesNothing) {
  MenuPanelView view(fullState(), recorder.actions());
  for (const auto& row : view.rows()) {
    recorder.calls.clear();
    EXPECT_TRUE(view.click({row.frame.midX(), row.frame.midY()}));
    ASSERT_FALSE(recorder.calls.empty());
    if (row.item == Item::engine) {
      EXPECT_EQ(recorder.calls.front(), "chooseEngine:" + row.engineName);
    }
    EXPECT_EQ(recorder.calls.back() == "close", row.kind == Kind::action) << row.title;
    // The same as activating it by identity.
    const auto byClick = recorder.calls;
    recorder.calls.clear();
    if (row.item == Item::engine) view.activateEngine(row.engineName);
    else view.activate(*row.item);
    EXPECT_EQ(recorder.calls, byClick);
  }
  recorder.calls.clear();
  const auto header = view.header().frame;
  EXPECT_FALSE(view.click({header.midX(), header.midY()}));
  EXPECT_FALSE(view.click({150, view.sections()[0].divider.midY()}));
  EXPECT_FALSE(view.click({150, view.size().height + 10}));
  for (const auto& section : view.sections()) {
    for (const auto& element : section.elements) {
      if (!element.isRow()) {
        EXPECT_FALSE(view.click({element.frame.midX(), element.frame.midY()}));
      }
    }
  }
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(MenuPanelViewTest, UnsetCallbacksDoNothingButActionRowsStillClose) {
  MenuPanelActions actions;
  int closed = 0;
  actions.close = [&] { ++closed; };
  MenuPanelView view(fullState(), actions);
  EXPECT_TRUE(view.activate(Item::forgetFace));
  EXPECT_TRUE(view.activateEngine("Standard"));
  EXPECT_TRUE(view.activate(Item::unlock));
  EXPECT_EQ(closed, 2);
  MenuPanelView bare(fullState(), MenuPanelActions{});
  EXPECT_TRUE(bare.activate(Item::quit));
}

// The controller replaces the panel's view from inside a callback; the row must still close.
TEST_F(MenuPanelViewTest, AnActionThatReplacesTheViewStillCloses) {
  auto holder = std::make_shared<std::unique_ptr<MenuPanelView>>();
  std::vector<std::string> calls;
  MenuPanelActions actions;
  actions.showTutorial = [&calls, holder] {
    calls.push_back("showTutorial");
    *holder = std::make_unique<MenuPanelView>(freshState(), MenuPanelActions{});
  };
  actions.close = [&calls] { calls.push_back("close"); };
  *holder = std::make_unique<MenuPanelView>(freshState(), actions);
  MenuPanelView* first = holder->get();
  EXPECT_TRUE(first->activate(Item::tutorial));
  EXPECT_EQ(calls, (std::vector<std::string>{"showTutorial", "close"}));
}

TEST_F(MenuPanelViewTest, HoveringMarksOnlyTheRowUnderThePointer) {
  MenuPanelView view(fullState(), recorder.actions());
  const auto target = *view.row(Item::tutorial);
  view.hover(platform::Point{target.frame.minX() + 5, target.frame.maxY() - 1});
  for (const auto& row : view.rows()) {
    EXPECT_EQ(row.hovering, row.item == Item::tutorial) << row.title;
  }
  const auto engine = *view.engineRow("Personal use");
  view.hover(platform::Point{engine.frame.midX(), engine.frame.midY()});
  EXPECT_FALSE(view.row(Item::tutorial)->hovering);
  EXPECT_TRUE(view.engineRow("Personal use")->hovering);
  EXPECT_FALSE(view.engineRow("Standard")->hovering);
  view.hover(std::nullopt);
  for (const auto& row : view.rows()) EXPECT_FALSE(row.hovering);
  // Over the header nothing is hovered; hovering runs nothing.
  view.hover(platform::Point{10, 10});
  for (const auto& row : view.rows()) EXPECT_FALSE(row.hovering);
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(MenuPanelViewTest, LayoutStacksSectionsAndRowsTopToBottom) {
  for (const auto& state : {freshState(), fullState()}) {
    MenuPanelView view(state, recorder.actions());
    EXPECT_EQ(view.size().width, 300);
    double y = view.header().frame.maxY();
    EXPECT_GT(y, 28 + 2 * 12 - 1);
    for (const auto& section : view.sections()) {
      EXPECT_DOUBLE_EQ(section.divider.minY(), y);
      EXPECT_GT(section.divider.height(), 0);
      EXPECT_DOUBLE_EQ(section.frame.minY(), section.divider.maxY());
      double previous = section.frame.minY() + 6 - 2;  // padding 6, spacing 2 between lines
      for (const auto& element : section.elements) {
        EXPECT_DOUBLE_EQ(element.frame.minY(), previous + 2) << element.title;
        EXPECT_EQ(element.frame.width(), 300);
        if (element.isRow()) {
          EXPECT_GE(element.frame.height(), 12 + 15);  // padding and a line
        }
        previous = element.frame.maxY();
      }
      EXPECT_DOUBLE_EQ(section.frame.maxY(), previous + 6);
      y = section.frame.maxY();
    }
    EXPECT_DOUBLE_EQ(view.size().height, y);
  }
}

bool near(const QColor& c, int r, int g, int b, int tolerance = 40) {
  return std::abs(c.red() - r) <= tolerance && std::abs(c.green() - g) <= tolerance &&
         std::abs(c.blue() - b) <= tolerance && c.alpha() > 200;
}

// Counts pixels of a colour in a rectangle (in points) of an image rendered at `scale`.
int countNear(const QImage& image, const platform::Rect& rect, double scale, int r, int g, int b) {
  int count = 0;
  for (int y = static_cast<int>(rect.minY() * scale); y < static_cast<int>(rect.maxY() * scale); ++y) {
    for (int x = static_cast<int>(rect.minX() * scale); x < static_cast<int>(rect.maxX() * scale);
         ++x) {
      if (x >= 0 && y >= 0 && x < image.width() && y < image.height() &&
          near(image.pixelColor(x, y), r, g, b)) {
        ++count;
      }
    }
  }
  return count;
}

double meanLightness(const QImage& image, const platform::Rect& rect, double scale) {
  double sum = 0;
  int n = 0;
  for (int y = static_cast<int>(rect.minY() * scale); y < static_cast<int>(rect.maxY() * scale); ++y) {
    for (int x = static_cast<int>(rect.minX() * scale); x < static_cast<int>(rect.maxX() * scale);
         ++x) {
      sum += image.pixelColor(x, y).lightnessF();
      ++n;
    }
  }
  return n ? sum / n : 0;
}

void save(const QImage& image, const std::string& name) {
  const std::string path = quorvel::testing::testOutputFolder() + "/" + name;
  ASSERT_TRUE(image.save(QString::fromStdString(path), "PNG")) << path;
}

// Every row title of this build's texts keeps to one line with the panel's font: the longest,
// the app-password row's, is drawn narrower rather than wrapped.
TEST_F(MenuPanelViewTest, TheLongestRowTitleFitsOneLine) {
  MenuPanelState state = freshState();
  state.passwordTitle = "Change my saved password" + kEllipsis;
  state.quorvelPasswordTitle = "Protect these with a Quorvel password" + kEllipsis;
  MenuPanelView view(state, recorder.actions());
  const auto oneLine = view.row(Item::tutorial)->frame.height();
  for (const auto& row : view.rows()) {
    EXPECT_DOUBLE_EQ(row.frame.height(), oneLine) << row.title;
    const QFontMetricsF metrics(MenuPanelView::rowTitleFont());
    EXPECT_LE(metrics.horizontalAdvance(QString::fromStdString(row.title)) * row.titleScale,
              MenuPanelView::rowTitleWidth(row.kind) + 1e-9)
        << row.title;
    EXPECT_GE(row.titleScale, 0.8) << row.title;
  }
  EXPECT_LT(view.row(Item::quorvelPassword)->titleScale, 1);
  save(view.render(2), "menu_panel_protect_row.png");
}

TEST_F(MenuPanelViewTest, RendersThePanelWithItsColours) {
  constexpr double scale = 2;
  MenuPanelView view(fullState(), recorder.actions());
  const auto tutorial = *view.row(Item::tutorial);
  view.hover(platform::Point{tutorial.frame.midX(), tutorial.frame.midY()});
  const QImage image = view.render(scale);
  save(image, "menu_panel_developer.png");
  ASSERT_EQ(image.width(), 600);
  ASSERT_EQ(image.height(), static_cast<int>(std::lround(view.size().height * scale)));

  // Rounded corners are transparent; the middle of the panel is the light glass.
  EXPECT_EQ(image.pixelColor(1, 1).alpha(), 0);
  EXPECT_EQ(image.pixelColor(image.width() - 2, image.height() - 2).alpha(), 0);
  EXPECT_GT(image.pixelColor(300, image.height() / 2).alpha(), 200);

  // Header symbol orange (a blocker), the Accessibility row orange, the forget row red, the
  // selected engine green.
  EXPECT_GT(countNear(image, view.header().symbolFrame, scale, 255, 149, 0), 20);
  EXPECT_EQ(countNear(image, view.header().symbolFrame, scale, 48, 209, 89), 0);
  const auto accessibility = view.row(Item::accessibility)->frame;
  EXPECT_GT(countNear(image, accessibility, scale, 255, 149, 0), 20);
  const auto forget = view.row(Item::forgetFace)->frame;
  EXPECT_GT(countNear(image, forget, scale, 255, 59, 48), 20);
  EXPECT_EQ(countNear(image, view.row(Item::quit)->frame, scale, 255, 59, 48), 0);
  EXPECT_GT(countNear(image, view.engineRow("Standard")->frame, scale, 48, 209, 89), 20);
  EXPECT_EQ(countNear(image, view.engineRow("Personal use")->frame, scale, 48, 209, 89), 0);

  // The hovered row's background is darker than the same strip of an unhovered row.
  const auto strip = [](const platform::Rect& f) {
    return platform::Rect(f.maxX() - 40, f.minY() + 2, 30, f.height() - 4);
  };
  const auto other = view.row(Item::enrolment)->frame;
  EXPECT_LT(meanLightness(image, strip(tutorial.frame), scale) + 0.03,
            meanLightness(image, strip(other), scale));

  // A switch that is on shows the accent colour; one that is off does not.
  const auto animation = view.row(Item::playAnimation)->frame;  // on
  const auto dock = view.row(Item::dockIcon)->frame;            // off
  EXPECT_GT(countNear(image, animation, scale, 0, 122, 255), 50);
  EXPECT_EQ(countNear(image, dock, scale, 0, 122, 255), 0);
}

TEST_F(MenuPanelViewTest, RendersTheReadyCustomerPanel) {
  constexpr double scale = 2;
  MenuPanelState state = freshState();
  state.statusText = kReady;
  state.statusIsWarning = false;
  MenuPanelView view(state, recorder.actions());
  const QImage image = view.render(scale);
  save(image, "menu_panel_customer_ready.png");
  EXPECT_GT(countNear(image, view.header().symbolFrame, scale, 48, 209, 89), 20);
  EXPECT_EQ(countNear(image, view.header().symbolFrame, scale, 255, 149, 0), 0);
  // Every row draws its symbol: something dark in the symbol column.
  for (const auto& row : view.rows()) {
    const platform::Rect column(14, row.frame.minY() + 6, 16, row.frame.height() - 12);
    EXPECT_LT(meanLightness(image, column, scale), 0.9) << row.systemImage;
  }
}

}  // namespace

namespace {

// Every symbol the panel names is in our symbol set and fits its line.
TEST_F(MenuPanelViewTest, EverySymbolThePanelNamesIsDrawable) {
  MenuPanelState state = fullState();
  state.engines.push_back({"Third", false, true});
  MenuPanelView view(state, recorder.actions());
  std::vector<std::string> names = {view.header().systemImage};
  for (const auto& row : view.rows()) names.push_back(row.systemImage);
  for (const auto& name : names) {
    const auto path = platform::symbols::symbolPath(name, 12.5);
    ASSERT_TRUE(path.has_value()) << name;
    const QRectF box = path->boundingRect();
    EXPECT_GT(box.width() * box.height(), 12.5 * 12.5 * 0.25) << name;
    EXPECT_LE(std::max(std::abs(box.left()), std::abs(box.right())), 12.5 / 2 + 0.5) << name;
    EXPECT_LE(std::max(std::abs(box.top()), std::abs(box.bottom())), 12.5 / 2 + 0.5) << name;
    // The outline of a line-art symbol is a shape, not a hairline: its centre band has area.
    EXPECT_FALSE(path->isEmpty()) << name;
  }
  const auto available = platform::symbols::availableSymbols();
  for (const auto& name : names) {
    EXPECT_NE(std::find(available.begin(), available.end(), name), available.end()) << name;
  }
  EXPECT_FALSE(platform::symbols::symbolPath("no.such.symbol", 12).has_value());
  // The filled check circle is filled except for its tick; the plain circle is a ring.
  const auto filled = *platform::symbols::symbolPath("checkmark.circle.fill", 100);
  const auto ring = *platform::symbols::symbolPath("circle", 100);
  EXPECT_TRUE(filled.contains(QPointF(-25, -25)));
  EXPECT_FALSE(ring.contains(QPointF(-25, -25)));
  EXPECT_TRUE(ring.contains(QPointF(0, -42)));
}

}  // namespace
