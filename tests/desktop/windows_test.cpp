// This process's linux windows and dialogs on a real X server, driven with xdotool, in virtual
// time; and the main queue run from Qt's loop. Screenshots go to the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>

#include <chrono>
#include <thread>

#include "app/dock_visibility.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "onboarding/tutorial_view.hpp"
#include "platform/capture/capture.hpp"
#include "platform/localauth/local_auth_linux.hpp"
#include "platform/screens/screens_linux.hpp"
#include "platform/ui/alert_linux.hpp"
#include "platform/ui/application_linux.hpp"
#include "platform/ui/gui.hpp"
#include "platform/ui/status_bar_linux.hpp"
#include "platform/windows/windows_linux.hpp"
#include "support/desktop_session.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {
namespace {

namespace dispatch = platform::dispatch;
using Kind = TutorialView::Element::Kind;
using Answer = std::function<void(QWidget&)>;

void press(const std::vector<std::string>& arguments) { xdotool(processDisplay(), arguments); }
Answer typing(std::string text) {
  return [text](QWidget&) { press({"type", "--delay", "30", text}), press({"key", "Return"}); };
}

// Answers the next modal dialogs, one answer each in order, from inside their modal runs, once
// each has the keyboard; a dialog left for 20 s gets Escape, so that a test fails, not hangs.
void answerDialogs(std::vector<Answer> answers) {
  auto* poll = new QTimer();
  QObject::connect(poll, &QTimer::timeout, [poll, answers = std::move(answers), next = std::size_t{0},
                                            since = std::chrono::steady_clock::now()]() mutable {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog && dialog->isActiveWindow() && !dialog->property("answered").toBool()) {
      dialog->setProperty("answered", true);
      for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      answers[next++](*dialog);
      since = std::chrono::steady_clock::now();
    } else if (dialog && std::chrono::steady_clock::now() - since > std::chrono::seconds(20)) {
      press({"key", "Escape"});
    }
    if (next == answers.size()) poll->deleteLater();
  });
  poll->start(50);
}

class DesktopWindowsTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_FALSE(processDisplay().empty()) << "Xvfb did not start";
    platform::screens::install(platform::screens::makeLinuxScreens());
    platform::windows::install(platform::windows::makeLinuxWindowSystem());
    platform::ui::installAlerts(platform::ui::makeLinuxAlerts());
    platform::ui::install(platform::ui::makeLinuxApplication());
  }
  void TearDown() override {
    controller.reset();
    settle();
    PlatformTest::TearDown();
  }

  // Lets Qt take what the X server sent, for a quarter of a second, with the due work.
  void settle() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    while (std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  QImage shot(const std::string& name) {
    settle();
    return screenshot(processDisplay(), "windows-" + name);
  }
  // Clicks the middle of a frame of the tutorial's view, and lets the step change run.
  void click(const platform::Rect& frame) {
    const auto window = platform::screens::flippedForWindowSystem(controller->window()->frame());
    press({"mousemove", std::to_string(static_cast<int>(window.minX() + frame.midX())),
           std::to_string(static_cast<int>(window.minY() + frame.midY())), "click", "1"});
    settle();
    advance(0.5);
  }
  TutorialView::Structure tutorial() {
    const auto frame = controller->window()->frame();
    auto view = std::dynamic_pointer_cast<TutorialView>(controller->window()->contentView()->rootView());
    return view->structure(platform::Rect(0, 0, frame.width(), frame.height()));
  }
  platform::Rect bodyElement(Kind kind) {
    for (const auto& element : tutorial().body) {
      if (element.kind == kind) return element.frame;
    }
    ADD_FAILURE() << "not on this step";
    return {};
  }
  std::string windowType() {
    std::string out;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible()) {
        runCommand({"xprop", "-id", std::to_string(widget->winId()), "_NET_WM_WINDOW_TYPE"},
                   {"DISPLAY=" + processDisplay()}, 10, &out);
      }
    }
    return out;
  }

  std::shared_ptr<TutorialController> controller;
};

TEST_F(DesktopWindowsTest, TheTutorialIsWalkedThroughWithClicksAndTypingAndItsDockEntryFollowsTheSetting) {
  simulatedCamera().setAuthorizationStatus(platform::capture::AuthorizationStatus::notDetermined);
  simulatedCamera().setAccessAnswer(true);
  lockMachine().accessibility().setTrusted(false);
  lockMachine().accessibility().setGrantOnPrompt(true);
  // The face is enrolled already, so the walk skips the scan.
  std::vector<std::vector<float>> vectors(25, std::vector<float>(128, 0.1f));
  for (std::size_t i = 0; i < vectors.size(); ++i) vectors[i][i] = 0.5f;
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(vectors, Settings::shared().recognitionEngine()));
  // Without a Dock icon the window is a tool window, kept out of the task bar.
  Settings::shared().setShowInDock(false);
  applyDockVisibility();

  controller = std::make_shared<TutorialController>();
  controller->presentIfFirstRun();
  advance(0.6);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-welcome"), 300, 176));
  EXPECT_NE(windowType().find("_NET_WM_WINDOW_TYPE_UTILITY"), std::string::npos);

  click(tutorial().next.frame);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-camera"), 320, 196));
  // "Allow camera": granted, the face step is skipped (enrolled), on to the password.
  click(bodyElement(Kind::greenButton));
  ASSERT_EQ(controller->model()->step.value(), TutorialStep::password);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-password"), 340, 310));

  // Typing goes into the secure field, shown masked; Return saves it and moves on.
  press({"type", "--delay", "30", "hunter2"});
  settle();
  EXPECT_EQ(controller->model()->password.value(), "hunter2");
  shot("tutorial-password-typed");
  press({"key", "Return"});
  settle();
  advance(0.5);
  EXPECT_EQ(PasswordVault::read(), std::optional<std::string>("hunter2"));
  ASSERT_EQ(controller->model()->step.value(), TutorialStep::accessibility);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-accessibility"), 340, 250));

  // "Open System Settings": granted there; the once-a-second poll notices.
  click(bodyElement(Kind::greenButton));
  advance(1);
  ASSERT_EQ(controller->model()->step.value(), TutorialStep::palm);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-palm"), 340, 290));
  // Showing Quorvel in the Dock lists the open window in the task bar at once.
  Settings::shared().setShowInDock(true);
  applyDockVisibility();
  settle();
  EXPECT_NE(windowType().find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos);
  click(tutorial().next.frame);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-ready"), 300, 186));

  // Done shrinks it into the 180 x 8 bar of a screen without a camera housing; then it goes.
  click(tutorial().next.frame);
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
  EXPECT_FALSE(controller->isShowing());
  EXPECT_TRUE(boxOf(shot("tutorial-closed"), 0xff000000).isEmpty());
}

// The prompt is an alert of the linux presenter: a modal dialog with a non-echoing field.
TEST_F(DesktopWindowsTest, TheOwnersPasswordPromptAsksAgainAfterAWrongPasswordAndRepliesOffTheMainQueue) {
  using platform::localauth::AuthError;
  std::vector<std::string> checked;
  platform::localauth::install(platform::localauth::makeLinuxProvider([&](const std::string& user, const std::string& password) {
    checked.push_back(user + ":" + password);
    return password == "right" ? platform::localauth::PasswordCheck::accepted : platform::localauth::PasswordCheck::rejected;
  }));
  auto context = platform::localauth::makeContext();
  ASSERT_TRUE(context->canEvaluateDeviceOwnerAuthentication());
  bool onMain = true;
  const auto evaluate = [&](std::vector<Answer> answers) {
    std::optional<std::optional<AuthError>> reply;  // its error; absent on success
    answerDialogs(std::move(answers));
    context->evaluateDeviceOwnerAuthentication("recover access to Quorvel after a forgotten password",
                                               [&](bool, std::optional<AuthError> error) {
                                                 onMain = dispatch::mainQueue().isCurrent();
                                                 reply = error;
                                               });
    runUntilIdle();  // each prompt runs modally; each check and the reply on a global queue
    EXPECT_TRUE(reply);
    return reply.value_or(AuthError::notAvailable);
  };
  std::string first, second;
  const auto reading = [](std::string& text, Answer answer) {
    return [&text, answer](QWidget& dialog) {
      EXPECT_EQ(dialog.findChild<QLineEdit*>("secureField")->echoMode(), QLineEdit::Password);
      text = dialog.findChild<QLabel*>("message")->text().toStdString() + " " +
             dialog.findChild<QLabel*>("informative")->text().toStdString();
      screenshot(processDisplay(), "windows-owner-prompt");
      answer(dialog);
    };
  };
  EXPECT_EQ(evaluate({reading(first, typing("wrong")), reading(second, typing("right"))}), std::nullopt);
  EXPECT_FALSE(onMain);
  EXPECT_EQ(checked, (std::vector<std::string>{"alice:wrong", "alice:right"}));
  EXPECT_EQ(first, "Quorvel is trying to recover access to Quorvel after a forgotten password. "
                   "Enter the password of \u201calice\u201d to allow this.");
  EXPECT_EQ(second.substr(second.find(". ") + 2), "The password was not right. Try again.");
  EXPECT_EQ(evaluate({[](QWidget&) { press({"key", "Escape"}); }}), AuthError::userCancel);
  EXPECT_EQ(evaluate({typing("a"), typing("b"), typing("c")}), AuthError::authenticationFailed);
}

// A click in the panel that runs a modal dialog (a row of the menu's): the dialog first closes
// the pop-up, and its loop lets the pop-up go before the click returns. The program crashed
// there; with the sanitizers any use of the freed pop-up is reported.
TEST_F(DesktopWindowsTest, AClickInThePopUpMayRunADialogThatClosesIt) {
  struct DialogRow : platform::windows::View {
    void draw(QPainter& painter, const platform::Rect& bounds) override {
      painter.fillRect(QRectF(bounds.minX(), bounds.minY(), bounds.width(), bounds.height()), Qt::white);
    }
    std::optional<platform::Size> fittingSize() const override { return platform::Size{200, 100}; }
    bool mouseDown(platform::Point, const platform::Rect&) override {
      answer = platform::ui::alerts()->runModal({"A question", "", {"OK", "Cancel"}, std::nullopt}).response;
      return true;
    }
    std::optional<platform::ui::AlertResponse> answer;
  };
  const auto row = std::make_shared<DialogRow>();
  const auto bar = platform::ui::makeLinuxStatusBar();
  const auto popover = bar->makePopover();
  popover->contentViewController = std::make_shared<platform::windows::HostingView>(row);
  press({"mousemove", "400", "300"});
  settle();
  popover->show({}, platform::ui::RectEdge::minY);  // under the pointer
  settle();
  answerDialogs({[](QWidget&) { press({"key", "Escape"}); }});
  press({"mousemove", "400", "350", "click", "1"});
  EXPECT_TRUE(eventually([&] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return row->answer.has_value();
  }, 60));
  settle();
  EXPECT_EQ(row->answer, std::optional(platform::ui::AlertResponse::secondButton));
  EXPECT_FALSE(popover->isShown());
}

// Escape answers "Cancel", or a notice's only button, as message boxes are dismissed.
TEST_F(DesktopWindowsTest, EscapeAnswersCancelOrANoticesOnlyButton) {
  using platform::ui::AlertResponse;
  const auto escape = [](const platform::ui::Alert& alert) {
    answerDialogs({[](QWidget&) { press({"key", "Escape"}); }});
    return platform::ui::alerts()->runModal(alert).response;
  };
  EXPECT_EQ(escape({"A question", "", {"Forget", "Cancel"}, std::nullopt}), AlertResponse::secondButton);
  EXPECT_EQ(escape({"A notice", "", {"OK"}, std::nullopt}), AlertResponse::firstButton);
}

TEST_F(DesktopWindowsTest, TheMainQueueRunsFromQtsEventLoopButNeverInsideItsOwnWork) {
  dispatch::install(dispatch::makeRealScheduler());
  ASSERT_TRUE(dispatch::attachMainLoopPump(platform::ui::makeQtMainLoopPump()));
  std::vector<std::string> ran;
  const auto nestedQtLoop = [] {
    QEventLoop loop;
    QTimer::singleShot(100, &loop, &QEventLoop::quit);
    loop.exec();
  };
  // Work posted from another thread runs here. A nested Qt loop run by a Qt event (a modal
  // dialog opened by a click) runs main-queue work; one run by main-queue work does not: the
  // queue is serial. Each piece is posted by the one before it, so that the order holds however
  // late the loop gets to run.
  std::thread([&] { dispatch::mainQueue().async([&] { ran.push_back(dispatch::isMainThread() ? "posted" : "off"); }); }).join();
  QTimer::singleShot(0, [&] {
    dispatch::mainQueue().async([&] { ran.push_back("inside the event's loop"); });
    nestedQtLoop();
    ran.push_back("event done");
    dispatch::mainQueue().async([&] {
      dispatch::mainQueue().async([&] { ran.push_back("after the work"); });
      nestedQtLoop();
      ran.push_back("work done");
    });
  });
  EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return ran.size() == 5; }, 30));
  EXPECT_EQ(ran, (std::vector<std::string>{"posted", "inside the event's loop", "event done", "work done", "after the work"}));
}

}  // namespace
}  // namespace quorvel::testing
