// The linux windows, dialogs and prompt of this process on a real X server (Xvfb), driven
// from outside with xdotool, in virtual time: the first-run tutorial walked through with
// clicks and typing, alerts with a secure field, the owner's password prompt, and the task
// bar entry of the Dock setting. Screenshots go to the test output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/dock_visibility.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "onboarding/tutorial_view.hpp"
#include "platform/capture/capture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/localauth/local_auth.hpp"
#include "platform/screens/screens.hpp"
#include "platform/ui/alert.hpp"
#include "platform/ui/application.hpp"
#include "platform/ui/gui.hpp"
#include "support/desktop_session.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {
namespace {

using platform::capture::AuthorizationStatus;
using Kind = TutorialView::Element::Kind;

// One X server for this test process, with Qt on it (it ends with the process).
const std::string& processDisplay() {
  static const std::string name = [] {
    auto* display = new VirtualDisplay(1024, 768, true);
    if (display->name().empty()) return std::string();
    ::setenv("DISPLAY", display->name().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    // No session bus: nothing may start one that outlives the test.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvel-test-bus", 1);
    platform::ui::startGui();
    display->paintDesktop();
    return display->name();
  }();
  return name;
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
    settle(0.1);
    PlatformTest::TearDown();
  }

  // Lets Qt take what the X server sent for `seconds` of real time, with the due work.
  void settle(double seconds = 0.25) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
  }
  QImage shot(const std::string& name) {
    settle();
    return screenshot(processDisplay(), "windows-" + name);
  }
  void click(QPoint point) {
    xdotool(processDisplay(), {"mousemove", std::to_string(point.x()), std::to_string(point.y()),
                               "click", "1"});
    settle();
  }

  // Where an element of the tutorial's current step is on the screen.
  QPoint onScreen(const platform::Rect& frame) {
    const auto window = platform::screens::flippedForWindowSystem(controller->window()->frame());
    return QPoint(static_cast<int>(window.minX() + frame.midX()),
                  static_cast<int>(window.minY() + frame.midY()));
  }
  TutorialView::Structure tutorial() {
    const auto frame = controller->window()->frame();
    auto view = std::dynamic_pointer_cast<TutorialView>(controller->window()->contentView()->rootView());
    return view->structure(platform::Rect(0, 0, frame.width(), frame.height()));
  }
  QPoint greenButton() {
    for (const auto& element : tutorial().body) {
      if (element.kind == Kind::greenButton) return onScreen(element.frame);
    }
    ADD_FAILURE() << "no green button on this step";
    return {};
  }
  // Moves the step on with its Next button and lets the resize run.
  void pressNext() {
    click(onScreen(tutorial().next.frame));
    advance(0.5);
  }

  // Answers the next modal dialogs, one action each in order, from inside their modal runs.
  // A dialog left unanswered for 20 s is closed with Escape, so that a test fails, not hangs.
  using Answer = std::function<void(QWidget&)>;
  static void answerDialogs(std::vector<Answer> answers) {
    auto* poll = new QTimer();
    poll->setInterval(50);
    auto started = std::chrono::steady_clock::now();
    QObject::connect(poll, &QTimer::timeout, [poll, answers = std::move(answers), next = std::size_t{0}, started]() mutable {
      QWidget* dialog = QApplication::activeModalWidget();
      if (dialog && dialog->isVisible() && !dialog->property("answered").toBool()) {
        dialog->setProperty("answered", true);
        QCoreApplication::processEvents();
        answers[next++](*dialog);
        started = std::chrono::steady_clock::now();
      } else if (dialog && std::chrono::steady_clock::now() - started > std::chrono::seconds(20)) {
        xdotool(processDisplay(), {"key", "Escape"});
      }
      if (next == answers.size()) {
        poll->stop();
        poll->deleteLater();
      }
    });
    poll->start();
  }
  static Answer typing(std::string text) {
    return [text](QWidget&) {
      xdotool(processDisplay(), {"type", "--delay", "30", text});
      xdotool(processDisplay(), {"key", "Return"});
    };
  }
  static Answer pressing(std::string key) {
    return [key](QWidget&) { xdotool(processDisplay(), {"key", key}); };
  }

  std::shared_ptr<TutorialController> controller;
};

TEST_F(DesktopWindowsTest, TheTutorialIsWalkedThroughWithClicksAndTyping) {
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
  simulatedCamera().setAccessAnswer(true);
  lockMachine().accessibility().setTrusted(false);
  lockMachine().accessibility().setGrantOnPrompt(true);
  // The face is enrolled already, so the walk skips the scan.
  std::vector<std::vector<float>> vectors(25, std::vector<float>(128, 0.1f));
  for (std::size_t i = 0; i < vectors.size(); ++i) vectors[i][i] = 0.5f;
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(vectors, Settings::shared().recognitionEngine()));

  controller = std::make_shared<TutorialController>();
  controller->presentIfFirstRun();
  advance(0.6);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-welcome"), 300, 176));

  pressNext();
  EXPECT_TRUE(notchPanelIs(shot("tutorial-camera"), 320, 196));
  // "Allow camera": granted, the face step is skipped (enrolled), on to the password.
  click(greenButton());
  advance(0.5);
  ASSERT_EQ(controller->model()->step.value(), TutorialStep::password);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-password"), 340, 310));

  // Typing goes into the secure field, masked; Return saves it and moves on.
  xdotool(processDisplay(), {"type", "--delay", "30", "hunter2"});
  settle();
  EXPECT_EQ(controller->model()->password.value(), "hunter2");
  bool masked = false;
  for (const auto& element : tutorial().body) {
    if (element.kind == Kind::secureField) masked = element.text.find("hunter2") == std::string::npos && !element.text.empty();
  }
  EXPECT_TRUE(masked);
  shot("tutorial-password-typed");
  xdotool(processDisplay(), {"key", "Return"});
  settle();
  advance(0.5);
  EXPECT_EQ(PasswordVault::read(), std::optional<std::string>("hunter2"));
  ASSERT_EQ(controller->model()->step.value(), TutorialStep::accessibility);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-accessibility"), 340, 250));

  // "Open System Settings": the permission is granted there; the poll notices within 1 s.
  click(greenButton());
  advance(1.5);
  ASSERT_EQ(controller->model()->step.value(), TutorialStep::palm);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-palm"), 340, 290));
  pressNext();
  EXPECT_TRUE(notchPanelIs(shot("tutorial-ready"), 300, 186));

  // Done closes it into the 180 x 8 bar of a screen without a camera housing, then it goes.
  click(onScreen(tutorial().next.frame));
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
  advance(0.3);
  EXPECT_TRUE(notchPanelIs(shot("tutorial-closing"), 180, 8));
  advance(0.1);
  EXPECT_FALSE(controller->isShowing());
  EXPECT_TRUE(boxOf(shot("tutorial-closed"), 0xff000000).isEmpty());
}

TEST_F(DesktopWindowsTest, AnAlertTakesTypingInItsSecureFieldAndAnswersWithItsButtons) {
  const platform::ui::Alert gate{"Confirm the Quorvel password", "Set so someone who already has your Mac unlocked cannot quietly re-enrol their own face or swap your saved password.",
                                 {"Continue", "Forgotten it?", "Cancel"}, platform::ui::SecureFieldAccessory{}};
  QImage seen;
  QLineEdit::EchoMode echo = QLineEdit::Normal;
  answerDialogs({[&](QWidget& dialog) {
    echo = dialog.findChild<QLineEdit*>("secureField")->echoMode();
    xdotool(processDisplay(), {"type", "--delay", "30", "s3cret"});
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    seen = screenshot(processDisplay(), "windows-alert-typed");
    xdotool(processDisplay(), {"key", "Return"});
  }});
  const auto answer = platform::ui::alerts()->runModal(gate);
  EXPECT_EQ(answer.response, platform::ui::AlertResponse::firstButton);
  EXPECT_EQ(answer.text, "s3cret");
  EXPECT_EQ(echo, QLineEdit::Password);
  // The dialog stands in the middle of the screen, over the desktop.
  EXPECT_FALSE(pixelIs(seen, 512, 300, kDesktopColour));
  EXPECT_TRUE(pixelIs(seen, 20, 20, kDesktopColour));

  // Escape answers with "Cancel" and an empty field; a click on a button answers with it.
  answerDialogs({pressing("Escape")});
  EXPECT_EQ(platform::ui::alerts()->runModal(gate).response, platform::ui::AlertResponse::thirdButton);
  answerDialogs({[](QWidget& dialog) {
    for (auto* button : dialog.findChildren<QWidget*>()) {
      if (button->property("text").toString() == "Forgotten it?") {
        const QPoint centre = button->mapToGlobal(button->rect().center());
        xdotool(processDisplay(), {"mousemove", std::to_string(centre.x()), std::to_string(centre.y()), "click", "1"});
      }
    }
  }});
  EXPECT_EQ(platform::ui::alerts()->runModal(gate).response, platform::ui::AlertResponse::secondButton);
}

TEST_F(DesktopWindowsTest, TheOwnersPasswordPromptAsksAgainAfterAWrongPasswordAndRepliesOffTheMainThread) {
  std::vector<std::string> checked;
  platform::localauth::install(platform::localauth::makeLinuxProvider(
      [&](const std::string& user, const std::string& password) {
        checked.push_back(user + ":" + password);
        return password == "right" ? platform::localauth::PasswordCheck::accepted
                                   : platform::localauth::PasswordCheck::rejected;
      }));
  auto context = platform::localauth::makeContext();
  ASSERT_TRUE(context->canEvaluateDeviceOwnerAuthentication());
  std::vector<std::string> prompts;
  const auto noting = [&](Answer answer) {
    return [&prompts, answer](QWidget& dialog) {
      prompts.push_back(dialog.findChild<QLabel*>("message")->text().toStdString() + " / " +
                        dialog.findChild<QLabel*>("informative")->text().toStdString());
      answer(dialog);
    };
  };
  using Reply = std::optional<std::pair<bool, std::optional<platform::localauth::AuthError>>>;
  bool onMain = true;
  const auto evaluate = [&](std::vector<Answer> answers) {
    Reply reply;
    answerDialogs(std::move(answers));
    context->evaluateDeviceOwnerAuthentication(
        "recover access to Quorvel after a forgotten password",
        [&](bool ok, std::optional<platform::localauth::AuthError> error) {
          onMain = platform::dispatch::mainQueue().isCurrent();
          reply.emplace(ok, error);
        });
    runUntilIdle();  // each prompt runs modally; each check and the reply on a global queue
    return reply;
  };

  const Reply accepted = evaluate({noting(typing("wrong")), noting(typing("right"))});
  ASSERT_TRUE(accepted);
  EXPECT_TRUE(accepted->first);
  EXPECT_FALSE(onMain);
  EXPECT_EQ(checked, (std::vector<std::string>{"alice:wrong", "alice:right"}));
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_EQ(prompts[0], "Quorvel is trying to recover access to Quorvel after a forgotten password. / "
                        "Enter the password of \u201calice\u201d to allow this.");
  EXPECT_EQ(prompts[1].substr(prompts[1].find(" / ")), " / The password was not right. Try again.");

  // Cancel replies "user cancel"; three wrong passwords reply "authentication failed".
  const Reply cancelled = evaluate({pressing("Escape")});
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->second, platform::localauth::AuthError::userCancel);
  const Reply failed = evaluate({typing("a"), typing("b"), typing("c")});
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->second, platform::localauth::AuthError::authenticationFailed);
  EXPECT_EQ(checked.size(), 5u);

  // Without a password check (the machine's has not been plugged in) it cannot be evaluated.
  EXPECT_FALSE(platform::localauth::makeLinuxProvider(nullptr)->makeContext()->canEvaluateDeviceOwnerAuthentication());
}

TEST_F(DesktopWindowsTest, TheDockSettingGivesTheTutorialATaskBarEntryOrNone) {
  const auto windowType = [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (!widget->isVisible()) continue;
      std::string out;
      runCommand({"xprop", "-id", std::to_string(widget->winId()), "_NET_WM_WINDOW_TYPE"},
                 {"DISPLAY=" + processDisplay()}, 10, &out);
      return out;
    }
    return std::string("no window");
  };
  controller = std::make_shared<TutorialController>();
  Settings::shared().setShowInDock(false);
  applyDockVisibility();
  controller->present(TutorialStep::welcome);
  settle();
  EXPECT_NE(windowType().find("_NET_WM_WINDOW_TYPE_UTILITY"), std::string::npos) << windowType();
  // Switched while the tutorial is open, the window follows at once.
  Settings::shared().setShowInDock(true);
  applyDockVisibility();
  settle();
  EXPECT_NE(windowType().find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos) << windowType();
  EXPECT_TRUE(notchPanelIs(shot("tutorial-listed"), 300, 176));
}

TEST_F(DesktopWindowsTest, TheMainQueueRunsFromQtsEventLoopButNeverInsideItsOwnWork) {
  namespace dispatch = platform::dispatch;
  dispatch::install(dispatch::makeRealScheduler());
  ASSERT_TRUE(dispatch::attachMainLoopPump(platform::ui::makeQtMainLoopPump()));
  std::vector<std::string> ran;
  const auto nestedQtLoop = [] {
    QEventLoop loop;
    QTimer::singleShot(100, &loop, &QEventLoop::quit);
    loop.exec();
  };
  // Work posted from another thread, a delayed item and a Qt timer all run on this thread.
  std::thread([&] { dispatch::mainQueue().async([&] { ran.push_back(dispatch::isMainThread() ? "posted" : "off"); }); }).join();
  dispatch::mainQueue().asyncAfter(0.05, [&] { ran.push_back("delayed"); });
  QTimer::singleShot(10, [&] { ran.push_back("qt"); });
  EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return ran.size() == 3; }, 5));
  EXPECT_EQ(ran, (std::vector<std::string>{"posted", "qt", "delayed"}));

  // A nested Qt loop run by a Qt event (a modal dialog opened by a click) runs main-queue
  // work; one run by main-queue work does not: the queue is serial.
  ran.clear();
  QTimer::singleShot(0, [&] {
    dispatch::mainQueue().async([&] { ran.push_back("inside the event's loop"); });
    nestedQtLoop();
    ran.push_back("event done");
  });
  dispatch::mainQueue().asyncAfter(0.2, [&] {
    dispatch::mainQueue().async([&] { ran.push_back("after the work"); });
    nestedQtLoop();
    ran.push_back("work done");
  });
  EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return ran.size() == 4; }, 5));
  EXPECT_EQ(ran, (std::vector<std::string>{"inside the event's loop", "event done", "work done",
                                           "after the work"}));

  // Stopped from another thread, the loop ends with the status given.
  std::thread([] { dispatch::stopMainLoop(0); }).detach();
  EXPECT_EQ(dispatch::runMainLoop(), 0);
}

}  // namespace
}  // namespace quorvel::testing
