// For the tests (built on its own; the extension keeps it out of the tests' glob): a desktop's
// polkit agent and its dialog, played by Qt. With --process PID it registers with polkitd as
// the agent of that process and shows the dialog when asked; Cancel or Escape dismisses the
// request, polkitd's cancel closes the dialog. With --show [--windows N] it shows N dialogs at
// once. The dialog ("Authentication Required") holds a message, the account's name read-only,
// a password field (with --fallback: first a "Use Password…" button that puts it in place),
// OK and Cancel. It prints one line per event: "registered", "begin <action>", "shown", "use
// password", "password: <text>", "ok", "cancel", "cancelled"; it never authenticates anybody.
#include <pwd.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace {

void say(const QString& line) {
  std::printf("%s\n", qPrintable(line));
  std::fflush(stdout);
}

bool fallback = false;

QDialog* makeDialog(const std::function<void()>& dismissed) {
  auto* dialog = new QDialog;
  dialog->setWindowTitle("Authentication Required");
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(new QLabel("Authentication is needed to change the system."));
  auto* user = new QLineEdit(QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name));
  user->setReadOnly(true);
  layout->addWidget(user);
  const auto addPassword = [layout] {
    auto* password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    layout->insertWidget(2, password);
    QObject::connect(password, &QLineEdit::textChanged, [](const QString& text) { say("password: " + text); });
    password->setFocus();
  };
  if (fallback) {
    auto* button = new QPushButton("Use Password\u2026");
    layout->addWidget(button);
    QObject::connect(button, &QPushButton::clicked, [button, addPassword] {
      say("use password");
      button->deleteLater();
      addPassword();
    });
  } else {
    addPassword();
  }
  auto* ok = new QPushButton("OK");
  auto* cancel = new QPushButton("Cancel");
  layout->addWidget(ok);
  layout->addWidget(cancel);
  QObject::connect(ok, &QPushButton::clicked, [] { say("ok"); });
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  QObject::connect(dialog, &QDialog::rejected, [dismissed] {
    say("cancel");
    dismissed();
  });
  dialog->show();
  dialog->activateWindow();
  return dialog;
}

// org.freedesktop.PolicyKit1.AuthenticationAgent on the system bus.
class Agent : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == "BeginAuthentication") {
      say("begin " + message.arguments().value(0).toString());
      pending_ = message;
      dialog_ = makeDialog([this] { finish(); });
      say("shown");
    } else if (message.member() == "CancelAuthentication") {
      say("cancelled");
      connection.send(message.createReply());
      finish();
    }
    return true;
  }

 private:
  void finish() {  // the request ends dismissed
    if (pending_) QDBusConnection::systemBus().send(pending_->createErrorReply("org.freedesktop.PolicyKit1.Error.Cancelled", ""));
    pending_.reset();
    if (dialog_) dialog_->deleteLater();
    dialog_ = nullptr;
  }
  std::optional<QDBusMessage> pending_;
  QDialog* dialog_ = nullptr;
};

bool registerFor(quint32 pid, Agent* agent) {
  QFile stat(QString("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray line = stat.readAll();
  const quint64 start = line.mid(line.lastIndexOf(')') + 2).split(' ').value(19).toULongLong();  // field 22
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.registerVirtualObject("/org/quorvel/TestAgent", agent)) return false;
  QDBusArgument subject;
  subject.beginStructure();
  subject << QString("unix-process")
          << QVariantMap{{"pid", QVariant::fromValue(pid)}, {"start-time", QVariant::fromValue(start)}};
  subject.endStructure();
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                                                     "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent");
  call << QVariant::fromValue(subject) << QString("C") << QString("/org/quorvel/TestAgent");
  const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
  if (reply.type() == QDBusMessage::ErrorMessage) say("register failed: " + reply.errorMessage());
  return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const QStringList arguments = application.arguments();
  fallback = arguments.contains("--fallback");
  Agent agent;
  const int process = arguments.indexOf("--process");
  if (process > 0) {
    if (!registerFor(arguments.value(process + 1).toUInt(), &agent)) return 1;
    say("registered");
  }
  if (arguments.contains("--show")) {
    const int windows = arguments.indexOf("--windows");
    for (int i = 0; i < (windows > 0 ? arguments.value(windows + 1).toInt() : 1); ++i) makeDialog([] {});
    say("shown");
  }
  return application.exec();
}
