// The content of the menu-bar popover: a 300-point-wide glass panel with a header showing
// readiness and sections of switch rows and action rows, built from a `MenuPanelState` and a
// `MenuPanelActions`. It keeps nothing of its own but which row the pointer is over. Its
// structure (sections, rows, titles, symbols, tints, switch states, frames) is readable without
// drawing, and a row can be activated by its identity, as a click on it would.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/menu_panel_state.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/windows/windows.hpp"

class QFont;
class QImage;
class QPainter;

namespace quorvel {

class MenuPanelView : public platform::windows::View {
 public:
  // What a row is for; engine rows are told apart by their entry's name.
  enum class Item {
    unlock, enrolment, tutorial, password, quorvelPassword, accessibility,
    testMatch, previewAnimation, engine,
    playAnimation, palmToCancel, authorizationAssist, dockIcon, loginItem,
    checkForUpdates, forgetFace, quit,
  };
  enum class Tint { primary, secondary, green, orange, red };

  // One line of a section: a row that can be clicked (an action row closes the panel after
  // its callback; a switch row does not), or a text that cannot (the engine list's heading,
  // the assist switch's caption).
  struct Element {
    enum class Kind { action, toggle, heading, caption };
    Kind kind = Kind::action;
    std::optional<Item> item;     // rows only
    std::string engineName;       // engine rows only
    std::string title;
    std::string systemImage;      // rows only
    Tint tint = Tint::primary;
    bool isOn = false;            // switch rows only: the state the switch shows
    bool hovering = false;        // rows only
    platform::Rect frame;         // in the panel's coordinates (y down)
    // Rows only: the title is drawn at this fraction of its size (from 0.8 to 1), so that a
    // title a little too wide for its row keeps to one line instead of wrapping.
    double titleScale = 1;
    bool isRow() const { return kind == Kind::action || kind == Kind::toggle; }
  };

  struct Section {
    int number = 0;               // 1 ... 6; 3 is the developer section
    std::vector<Element> elements;
    platform::Rect divider;       // the divider line above the section
    platform::Rect frame;         // the section's stack, below its divider
  };

  struct Header {
    std::string systemImage;      // "faceid"
    Tint symbolTint = Tint::green;
    std::string title;            // "Quorvel"
    std::string statusText;       // the whole status text
    std::string statusLine;       // the status text as drawn: one line, cut with "…"
    platform::Rect frame;
    platform::Rect symbolFrame;
  };

  static constexpr double width = 300;
  static constexpr double cornerRadius = 18;

  MenuPanelView(MenuPanelState state, MenuPanelActions actions);

  const MenuPanelState& state() const { return state_; }
  const MenuPanelActions& actions() const { return actions_; }

  Header header() const;
  std::vector<Section> sections() const;
  // The clickable rows of every section, top to bottom.
  std::vector<Element> rows() const;
  std::optional<Element> row(Item item) const;
  std::optional<Element> engineRow(const std::string& name) const;
  // 300 points wide, as tall as the sections shown.
  platform::Size size() const;

  // Runs what a click on the row does. False, doing nothing, when the panel shows no such row.
  bool activate(Item item);
  bool activateEngine(const std::string& name);
  // A click at a point of the panel; false when it is on no row.
  bool click(platform::Point point);
  // The pointer moved to `point` (absent: it left the panel); rows update their hover flag.
  void hover(std::optional<platform::Point> point);

  // The font of row titles, and the width a title has in a row of that kind.
  static QFont rowTitleFont();
  static double rowTitleWidth(Element::Kind kind);

  // The colours of the tints, of the platform's light appearance.
  static platform::windows::Color colour(Tint tint);

  void draw(QPainter& painter, const platform::Rect& bounds) override;
  // A window showing the panel: its size, clicks, the pointer and the rows the keyboard can
  // select.
  std::optional<platform::Size> fittingSize() const override { return size(); }
  bool mouseDown(platform::Point point, const platform::Rect&) override { return click(point); }
  void mouseMoved(std::optional<platform::Point> point, const platform::Rect&) override {
    hover(point);
  }
  std::vector<platform::Rect> focusableFrames(const platform::Rect&) const override;
  // The panel drawn into a transparent image of its size times `scale`.
  QImage render(double scale);

 private:
  struct RowKey {
    Item item;
    std::string engineName;
    bool operator==(const RowKey&) const = default;
  };
  void layOut();
  void run(const Element& element);
  const Element* find(const RowKey& key) const;

  MenuPanelState state_;
  MenuPanelActions actions_;
  Header header_;
  std::vector<Section> sections_;
  double height_ = 0;
  std::optional<RowKey> hovered_;
};

}  // namespace quorvel
