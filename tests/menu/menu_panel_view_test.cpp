// The menu panel: which rows it shows for each state, their texts, symbols, tints and switch
// states, what activating (or clicking) each row runs, hovering, layout, and a rendering a
// person can look at in the test output folder.
#include "app/menu_panel_view.hpp"

#include "platform/symbols/symbol_set.hpp"
#include "support/A_images.hpp"
#include "support/platform_fixture.hpp"

#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using quorvel::MenuPanelActions;
using quorvel::MenuPanelState;
using quorvel::MenuPanelView;
using quorvel::testing::countPixels;
using quorvel::testing::pixelsOf;
using quorvel::testing::savePng;
using Item = MenuPanelView::Item;
using Kind = MenuPanelView::Element::Kind;
using Tint = MenuPanelView::Tint;

const std::string kEllipsis = "\xE2\x80\xA6";
const std::string kReady = "Ready, your face will unlock this Mac";

// A snapshot as the controller makes it for a fresh customer install: nothing set up.
MenuPanelState freshState() {
  return {.statusText = "Set up your face first",
          .statusIsWarning = true,
          .unlockEnabled = true,
          .enrolTitle = "Set up my face" + kEllipsis,
          .passwordTitle = "Save my login password" + kEllipsis,
          .playAnimation = true};
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

// Each row of an item, the callback it runs and whether it then closes the panel. The engine
// rows run `chooseEngine` with their name; every action row then runs `close`.
struct RowCallback {
  Item item;
  std::function<void()> MenuPanelActions::*callback;
  const char* name;
  bool closes;
};
const RowCallback kRowCallbacks[] = {
    {Item::unlock, &MenuPanelActions::toggleUnlock, "toggleUnlock", false},
    {Item::enrolment, &MenuPanelActions::showEnrolment, "showEnrolment", true},
    {Item::tutorial, &MenuPanelActions::showTutorial, "showTutorial", true},
    {Item::password, &MenuPanelActions::setPassword, "setPassword", true},
    {Item::quorvelPassword, &MenuPanelActions::setQuorvelPassword, "setQuorvelPassword", true},
    {Item::accessibility, &MenuPanelActions::grantAccessibility, "grantAccessibility", true},
    {Item::testMatch, &MenuPanelActions::runTest, "runTest", true},
    {Item::previewAnimation, &MenuPanelActions::previewAnimation, "previewAnimation", true},
    {Item::playAnimation, &MenuPanelActions::toggleAnimation, "toggleAnimation", false},
    {Item::palmToCancel, &MenuPanelActions::togglePalmToCancel, "togglePalmToCancel", false},
    {Item::authorizationAssist, &MenuPanelActions::toggleAuthorizationAssist, "toggleAuthorizationAssist", false},
    {Item::dockIcon, &MenuPanelActions::toggleDockIcon, "toggleDockIcon", false},
    {Item::loginItem, &MenuPanelActions::toggleLoginItem, "toggleLoginItem", false},
    {Item::checkForUpdates, &MenuPanelActions::checkForUpdates, "checkForUpdates", true},
    {Item::forgetFace, &MenuPanelActions::forgetFace, "forgetFace", true},
    {Item::quit, &MenuPanelActions::quit, "quit", true},
};

// One line of a section as a test expects it.
struct Line {
  int section;
  Kind kind;
  std::optional<Item> item;
  std::string title;
  std::string symbol;
  Tint tint = Tint::primary;
  bool operator==(const Line&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Line& l) {
    return out << l.section << " " << l.title << " " << l.symbol << int(l.kind) << int(l.tint);
  }
};

class MenuPanelViewTest : public quorvel::testing::PlatformTest {
 protected:
  // Callbacks that record, in `calls`, which of them ran, in order.
  MenuPanelActions recording() {
    MenuPanelActions a;
    for (const auto& row : kRowCallbacks) {
      a.*row.callback = [this, name = row.name] { calls.emplace_back(name); };
    }
    a.chooseEngine = [this](const std::string& name) { calls.push_back("chooseEngine:" + name); };
    a.close = [this] { calls.emplace_back("close"); };
    return a;
  }
  std::vector<std::string> calls;
};

// The full snapshot shows every row and line, section by section, with its text, symbol and
// tint.
TEST_F(MenuPanelViewTest, TheFullPanelShowsEverythingInItsSection) {
  MenuPanelState state = fullState();
  state.engines = {{"Standard", false, true}, {"Personal use", true, false}};
  state.authorizationAssistStatus = "Watching for dialogs";
  MenuPanelView view(state, recording());
  const std::vector<Line> expected = {
      {1, Kind::toggle, Item::unlock, "Unlock with my face", "faceid"},
      {2, Kind::action, Item::enrolment, "Set up my face again" + kEllipsis, "person.crop.square"},
      {2, Kind::action, Item::tutorial, "Show the tutorial again", "questionmark.circle"},
      {2, Kind::action, Item::password, "Change my saved password" + kEllipsis, "key"},
      {2, Kind::action, Item::quorvelPassword, "Change Quorvel password" + kEllipsis, "lock.shield"},
      {2, Kind::action, Item::accessibility, "Grant Accessibility permission" + kEllipsis,
       "exclamationmark.triangle", Tint::orange},
      {3, Kind::action, Item::testMatch, "Test face match", "checkmark.seal"},
      {3, Kind::action, Item::previewAnimation, "Preview the animation", "play.circle"},
      {3, Kind::heading, std::nullopt, "Face model", "", Tint::secondary},
      // Engines in the snapshot's order; the selected one checked in green. `isSelectable` is
      // not the panel's business: the entry is shown and can be chosen.
      {3, Kind::action, Item::engine, "Standard", "circle"},
      {3, Kind::action, Item::engine, "Personal use", "checkmark.circle.fill", Tint::green},
      {4, Kind::toggle, Item::playAnimation, "Play the notch animation", "sparkles"},
      {4, Kind::toggle, Item::palmToCancel, "Hold up a hand to cancel", "hand.raised"},
      {4, Kind::toggle, Item::authorizationAssist, "Authorize system changes (test)", "lock.shield"},
      {4, Kind::caption, std::nullopt, "Watching for dialogs", "", Tint::secondary},
      {4, Kind::toggle, Item::dockIcon, "Show Quorvel in the Dock", "dock.rectangle"},
      {4, Kind::toggle, Item::loginItem, "Open Quorvel at login", "power"},
      {5, Kind::action, Item::checkForUpdates, "Check for Updates" + kEllipsis,
       "arrow.triangle.2.circlepath"},
      {6, Kind::action, Item::forgetFace, "Forget my face", "trash", Tint::red},
      {6, Kind::action, Item::quit, "Quit Quorvel", "xmark.circle"},
  };
  std::vector<Line> shown;
  for (const auto& section : view.sections()) {
    for (const auto& e : section.elements) {
      shown.push_back({section.number, e.kind, e.item, e.title, e.systemImage, e.tint});
      EXPECT_FALSE(e.hovering) << e.title;
    }
  }
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(view.engineRow("Personal use")->engineName, "Personal use");
}

// A fresh customer install: the everyday rows only, in the same order, with the setup titles
// of the snapshot.
TEST_F(MenuPanelViewTest, AFreshCustomerPanelShowsTheEverydayRowsOnly) {
  MenuPanelState state = freshState();
  state.engines = {{"Standard", true, true}};  // ignored outside a developer build
  state.authorizationAssist = true;             // enabled, but not available: still hidden
  MenuPanelView view(state, recording());
  // Rows only: no heading or caption line.
  std::vector<int> sections;
  for (const auto& section : view.sections()) {
    sections.push_back(section.number);
    for (const auto& element : section.elements) EXPECT_TRUE(element.isRow()) << element.title;
  }
  EXPECT_EQ(sections, (std::vector<int>{1, 2, 4, 5, 6}));
  std::vector<Item> items;
  for (const auto& row : view.rows()) items.push_back(*row.item);
  EXPECT_EQ(items, (std::vector<Item>{Item::unlock, Item::enrolment, Item::tutorial, Item::password,
                                      Item::playAnimation, Item::palmToCancel, Item::dockIcon,
                                      Item::loginItem, Item::checkForUpdates, Item::forgetFace,
                                      Item::quit}));
  for (Item hidden : {Item::quorvelPassword, Item::authorizationAssist, Item::testMatch,
                      Item::previewAnimation}) {
    EXPECT_FALSE(view.activate(hidden));
  }
  EXPECT_FALSE(view.activateEngine("Standard"));
  EXPECT_TRUE(calls.empty());

  // With a login password saved, the app-password row offers protection; a developer build
  // without engines has its two rows and no list, and is taller by its section.
  state.passwordTitle = "Change my saved password" + kEllipsis;
  state.quorvelPasswordTitle = "Protect these with a Quorvel password" + kEllipsis;
  state.isDeveloper = true;
  state.engines.clear();
  MenuPanelView developer(state, recording());
  EXPECT_EQ(developer.row(Item::quorvelPassword)->title, *state.quorvelPasswordTitle);
  const auto section = developer.sections()[2];
  ASSERT_EQ(section.number, 3);
  ASSERT_EQ(section.elements.size(), 2u);
  EXPECT_EQ(section.elements[0].item, Item::testMatch);
  EXPECT_EQ(section.elements[1].item, Item::previewAnimation);
  EXPECT_GT(developer.size().height, view.size().height + 2 * 28);
}

TEST_F(MenuPanelViewTest, SwitchesShowTheSnapshotsStates) {
  const std::vector<std::pair<bool MenuPanelState::*, Item>> switches = {
      {&MenuPanelState::unlockEnabled, Item::unlock},
      {&MenuPanelState::playAnimation, Item::playAnimation},
      {&MenuPanelState::palmToCancel, Item::palmToCancel},
      {&MenuPanelState::authorizationAssist, Item::authorizationAssist},
      {&MenuPanelState::showInDock, Item::dockIcon},
      {&MenuPanelState::openAtLogin, Item::loginItem},
  };
  // Each switch on with the others off: a swapped, fixed or inverted state shows.
  for (std::size_t i = 0; i < switches.size(); ++i) {
    MenuPanelState state = fullState();
    for (std::size_t j = 0; j < switches.size(); ++j) state.*(switches[j].first) = i == j;
    MenuPanelView view(state, recording());
    for (std::size_t j = 0; j < switches.size(); ++j) {
      const auto row = view.row(switches[j].second);
      ASSERT_TRUE(row);
      EXPECT_EQ(row->kind, Kind::toggle);
      EXPECT_EQ(row->isOn, i == j) << row->title;
    }
  }
}

TEST_F(MenuPanelViewTest, TheHeaderShowsTheStatusOnOneLineGreenWhenReadyOrangeWithABlocker) {
  MenuPanelState state = freshState();
  state.statusText = kReady;
  state.statusIsWarning = false;
  MenuPanelView ready(state, recording());
  EXPECT_EQ(ready.header().systemImage, "faceid");
  EXPECT_EQ(ready.header().title, "Quorvel");
  EXPECT_EQ(ready.header().symbolTint, Tint::green);
  EXPECT_EQ(ready.header().statusLine, kReady);

  // A long status is cut to one line; the header keeps its height.
  state.statusText = "The camera is in use by another application, so Quorvel cannot look for "
                     "your face until it is free again";
  state.statusIsWarning = true;
  MenuPanelView blocked(state, recording());
  const auto header = blocked.header();
  EXPECT_EQ(header.symbolTint, Tint::orange);
  EXPECT_EQ(header.statusText, state.statusText);
  ASSERT_LT(header.statusLine.size(), state.statusText.size());
  EXPECT_EQ(header.statusLine.substr(header.statusLine.size() - kEllipsis.size()), kEllipsis);
  EXPECT_EQ(state.statusText.rfind(header.statusLine.substr(0, 10), 0), 0u);
  EXPECT_EQ(header.frame, ready.header().frame);
}

// Every row, clicked or activated by identity, runs exactly its callback; action rows then
// close. Clicks anywhere else run nothing.
TEST_F(MenuPanelViewTest, EachRowRunsExactlyItsCallbackAndActionRowsClose) {
  std::map<Item, std::pair<std::string, bool>> callbacks = {{Item::engine, {"chooseEngine:", true}}};
  for (const auto& row : kRowCallbacks) callbacks[row.item] = {row.name, row.closes};
  MenuPanelView view(fullState(), recording());
  ASSERT_EQ(view.rows().size(), callbacks.size() + 1);  // two engine rows
  for (const auto& row : view.rows()) {
    SCOPED_TRACE(row.title);
    const auto& [callback, closes] = callbacks.at(*row.item);
    EXPECT_EQ(closes, row.kind == Kind::action);
    std::vector<std::string> expected = {callback + row.engineName};
    if (closes) expected.push_back("close");
    calls.clear();
    EXPECT_TRUE(view.click({row.frame.midX(), row.frame.midY()}));
    EXPECT_EQ(calls, expected);
    calls.clear();
    EXPECT_TRUE(row.item == Item::engine ? view.activateEngine(row.engineName)
                                         : view.activate(*row.item));
    EXPECT_EQ(calls, expected);
    // A switch keeps showing the old state until a new snapshot is rendered.
    if (row.item != Item::engine) {
      EXPECT_EQ(view.row(*row.item)->isOn, row.isOn);
    }
  }
  calls.clear();
  EXPECT_FALSE(view.activateEngine("No such model"));
  EXPECT_FALSE(view.activate(Item::engine));
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
  EXPECT_TRUE(calls.empty());
}

// Unset callbacks do nothing but action rows still close. The controller replaces the
// panel's view from inside a callback; that row must still close too.
TEST_F(MenuPanelViewTest, UnsetCallbacksAndAViewReplacedByItsCallbackStillClose) {
  auto holder = std::make_shared<std::unique_ptr<MenuPanelView>>();
  MenuPanelActions actions;
  actions.showTutorial = [this, holder] {
    calls.push_back("showTutorial");
    *holder = std::make_unique<MenuPanelView>(freshState(), MenuPanelActions{});
  };
  actions.close = [this] { calls.push_back("close"); };
  *holder = std::make_unique<MenuPanelView>(fullState(), actions);
  MenuPanelView* first = holder->get();
  EXPECT_TRUE(first->activate(Item::forgetFace));
  EXPECT_TRUE(first->activateEngine("Standard"));
  EXPECT_TRUE(first->activate(Item::unlock));
  EXPECT_TRUE(first->activate(Item::tutorial));
  EXPECT_EQ(calls, (std::vector<std::string>{"close", "close", "showTutorial", "close"}));
  MenuPanelView bare(fullState(), MenuPanelActions{});
  EXPECT_TRUE(bare.activate(Item::quit));
}

TEST_F(MenuPanelViewTest, HoveringMarksOnlyTheRowUnderThePointer) {
  MenuPanelView view(fullState(), recording());
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
  EXPECT_TRUE(calls.empty());
}

TEST_F(MenuPanelViewTest, LayoutStacksSectionsAndRowsTopToBottom) {
  for (const auto& state : {freshState(), fullState()}) {
    MenuPanelView view(state, recording());
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

// Pixels near a colour in a rectangle (in points) of an image rendered at twice the size.
int countNear(const QImage& image, const platform::Rect& rect, int r, int g, int b) {
  const auto near = [&](const QColor& c) {
    return std::abs(c.red() - r) <= 40 && std::abs(c.green() - g) <= 40 &&
           std::abs(c.blue() - b) <= 40 && c.alpha() > 200;
  };
  return countPixels(image, near, pixelsOf(rect, 2));
}

double meanLightness(const QImage& image, const platform::Rect& rect) {
  const QRect area = pixelsOf(rect, 2);
  double sum = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) sum += image.pixelColor(x, y).lightnessF();
  }
  return area.isEmpty() ? 0 : sum / (area.width() * area.height());
}

// Every row title of this build's texts keeps to one line with the panel's font: the longest,
// the app-password row's, is drawn narrower rather than wrapped.
TEST_F(MenuPanelViewTest, TheLongestRowTitleFitsOneLine) {
  MenuPanelState state = freshState();
  state.passwordTitle = "Change my saved password" + kEllipsis;
  state.quorvelPasswordTitle = "Protect these with a Quorvel password" + kEllipsis;
  MenuPanelView view(state, recording());
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
  savePng(view.render(2), "menu_panel_protect_row.png");
}

TEST_F(MenuPanelViewTest, RendersThePanelWithItsColours) {
  MenuPanelView view(fullState(), recording());
  const auto tutorial = *view.row(Item::tutorial);
  view.hover(platform::Point{tutorial.frame.midX(), tutorial.frame.midY()});
  const QImage image = view.render(2);
  savePng(image, "menu_panel_developer.png");
  ASSERT_EQ(image.width(), 600);
  ASSERT_EQ(image.height(), static_cast<int>(std::lround(view.size().height * 2)));

  // Rounded corners are transparent; the middle of the panel is the light glass.
  EXPECT_EQ(image.pixelColor(1, 1).alpha(), 0);
  EXPECT_EQ(image.pixelColor(image.width() - 2, image.height() - 2).alpha(), 0);
  EXPECT_GT(image.pixelColor(300, image.height() / 2).alpha(), 200);

  // Header symbol orange (a blocker), the Accessibility row orange, the forget row red, the
  // selected engine green; the header symbol green when ready.
  EXPECT_GT(countNear(image, view.header().symbolFrame, 255, 149, 0), 20);
  EXPECT_EQ(countNear(image, view.header().symbolFrame, 48, 209, 89), 0);
  const auto accessibility = view.row(Item::accessibility)->frame;
  EXPECT_GT(countNear(image, accessibility, 255, 149, 0), 20);
  const auto forget = view.row(Item::forgetFace)->frame;
  EXPECT_GT(countNear(image, forget, 255, 59, 48), 20);
  EXPECT_EQ(countNear(image, view.row(Item::quit)->frame, 255, 59, 48), 0);
  EXPECT_GT(countNear(image, view.engineRow("Standard")->frame, 48, 209, 89), 20);
  EXPECT_EQ(countNear(image, view.engineRow("Personal use")->frame, 48, 209, 89), 0);
  MenuPanelState ready = freshState();
  ready.statusIsWarning = false;
  MenuPanelView readyView(ready, recording());
  EXPECT_GT(countNear(readyView.render(2), readyView.header().symbolFrame, 48, 209, 89), 20);

  // The hovered row's background is darker than the same strip of an unhovered row.
  const auto strip = [](const platform::Rect& f) {
    return platform::Rect(f.maxX() - 40, f.minY() + 2, 30, f.height() - 4);
  };
  const auto other = view.row(Item::enrolment)->frame;
  EXPECT_LT(meanLightness(image, strip(tutorial.frame)) + 0.03,
            meanLightness(image, strip(other)));

  // A switch that is on shows the accent colour; one that is off does not.
  const auto animation = view.row(Item::playAnimation)->frame;  // on
  const auto dock = view.row(Item::dockIcon)->frame;            // off
  EXPECT_GT(countNear(image, animation, 0, 122, 255), 50);
  EXPECT_EQ(countNear(image, dock, 0, 122, 255), 0);

  // Every row draws its symbol: something dark in the symbol column.
  for (const auto& row : view.rows()) {
    const platform::Rect column(14, row.frame.minY() + 6, 16, row.frame.height() - 12);
    EXPECT_LT(meanLightness(image, column), 0.9) << row.systemImage;
  }
}

// Every symbol the panel names is in our symbol set and fits its line.
TEST_F(MenuPanelViewTest, EverySymbolThePanelNamesIsDrawable) {
  MenuPanelState state = fullState();
  state.engines.push_back({"Third", false, true});
  MenuPanelView view(state, recording());
  std::vector<std::string> names = {view.header().systemImage};
  for (const auto& row : view.rows()) names.push_back(row.systemImage);
  for (const auto& name : names) {
    const auto path = platform::symbols::symbolPath(name, 12.5);
    ASSERT_TRUE(path.has_value()) << name;
    const QRectF box = path->boundingRect();
    EXPECT_GT(box.width() * box.height(), 12.5 * 12.5 * 0.25) << name;
    EXPECT_LE(std::max(std::abs(box.left()), std::abs(box.right())), 12.5 / 2 + 0.5) << name;
    EXPECT_LE(std::max(std::abs(box.top()), std::abs(box.bottom())), 12.5 / 2 + 0.5) << name;
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
