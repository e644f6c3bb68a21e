// For the tests: a desktop's polkit authentication agent and its dialog, played by a small Qt
// program. With --process PID it registers with polkitd (system bus) as the agent of that
// process and shows its dialog when polkitd asks it to authenticate; Cancel (or Escape)
// dismisses the request, and polkitd's cancel closes the dialog. With --show it shows the
// dialog at once, without polkit. The dialog is titled "Authentication Required" and holds a
// message, the account's name in a read-only field, a password field (or, with --fallback,
// first a "Use Password…" button that puts the password field in its place), OK and Cancel.
// Other options: --user NAME (the account shown; this process's user by default), --windows N
// (with --show: N dialogs). One line per event goes to standard output: "registered",
// "begin <action>", "shown", "use password", "password: <text>", "ok", "cancel",
// "cancelled". It never authenticates anybody.
//
// Built as its own executable (not a test source: the extension keeps it out of the tests'
// glob); the tests run copies of it under a known agent's name.
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
#include <vector>

namespace {

void say(const QString& line) {
  std::printf("%s\n", qPrintable(line));
  std::fflush(stdout);
}

struct Options {
  std::optional<quint32> process;
  bool show = false;
  bool fallback = false;
  QString user;
  int windows = 1;
};

class Dialog : public QDialog {
 public:
  Dialog(const Options& options, std::function<void(bool)> answered) : answered_(std::move(answered)) {
    setWindowTitle("Authentication Required");
    layout_ = new QVBoxLayout(this);
    layout_->addWidget(new QLabel("Authentication is needed to change the system."));
    auto* user = new QLineEdit(options.user);
    user->setReadOnly(true);
    layout_->addWidget(user);
    if (options.fallback) {
      auto* fallback = new QPushButton("Use Password\u2026");
      layout_->addWidget(fallback);
      connect(fallback, &QPushButton::clicked, this, [this, fallback] {
        say("use password");
        fallback->deleteLater();
        addPasswordField();
      });
    } else {
      addPasswordField();
    }
    auto* ok = new QPushButton("OK");
    auto* cancel = new QPushButton("Cancel");
    layout_->addWidget(ok);
    layout_->addWidget(cancel);
    connect(ok, &QPushButton::clicked, this, [] { say("ok"); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::rejected, this, [this] {
      say("cancel");
      if (answered_) answered_(false);
    });
  }

 private:
  void addPasswordField() {
    auto* password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    layout_->insertWidget(2, password);
    connect(password, &QLineEdit::textChanged, this, [](const QString& text) { say("password: " + text); });
    password->setFocus();
  }

  QVBoxLayout* layout_;
  std::function<void(bool)> answered_;
};

// The agent's object on the system bus (org.freedesktop.PolicyKit1.AuthenticationAgent).
class Agent : public QDBusVirtualObject {
 public:
  explicit Agent(Options options) : options_(std::move(options)) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == "BeginAuthentication") {
      say("begin " + message.arguments().value(0).toString());
      pending_ = message;
      dialog_ = std::make_unique<Dialog>(options_, [this](bool) { finish(); });
      dialog_->show();
      dialog_->activateWindow();
      say("shown");
      return true;
    }
    if (message.member() == "CancelAuthentication") {
      say("cancelled");
      connection.send(message.createReply());
      finish();
      return true;
    }
    return false;
  }

 private:
  // The request ends dismissed; the dialog goes.
  void finish() {
    if (pending_) {
      QDBusConnection::systemBus().send(
          pending_->createErrorReply("org.freedesktop.PolicyKit1.Error.Cancelled", "Dismissed"));
      pending_.reset();
    }
    if (dialog_) dialog_.release()->deleteLater();
  }

  Options options_;
  std::optional<QDBusMessage> pending_;
  std::unique_ptr<Dialog> dialog_;
};

bool registerFor(quint32 pid, Agent* agent) {
  QFile stat(QString("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray line = stat.readAll();
  const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
  const quint64 start = fields.value(19).toULongLong();  // field 22, counted from field 3
  QDBusConnection bus = QDBusConnection::systemBus();
  const QString path = "/org/quorvel/TestAgent";
  if (!bus.registerVirtualObject(path, agent)) return false;
  QDBusArgument subject;
  subject.beginStructure();
  subject << QString("unix-process")
          << QVariantMap{{"pid", QVariant::fromValue(pid)}, {"start-time", QVariant::fromValue(start)}};
  subject.endStructure();
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                                                     "org.freedesktop.PolicyKit1.Authority",
                                                     "RegisterAuthenticationAgent");
  call << QVariant::fromValue(subject) << QString("C") << path;
  const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
  if (reply.type() == QDBusMessage::ErrorMessage) say("register failed: " + reply.errorMessage());
  return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  Options options;
  if (const passwd* entry = ::getpwuid(::getuid())) options.user = entry->pw_name;
  const QStringList arguments = application.arguments();
  for (int i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    const QString value = arguments.value(i + 1);
    if (argument == "--process") options.process = value.toUInt(), ++i;
    if (argument == "--user") options.user = value, ++i;
    if (argument == "--windows") options.windows = value.toInt(), ++i;
    if (argument == "--show") options.show = true;
    if (argument == "--fallback") options.fallback = true;
  }
  Agent agent(options);
  std::vector<std::unique_ptr<Dialog>> shown;
  if (options.process) {
    if (!registerFor(*options.process, &agent)) return 1;
    say("registered");
  }
  if (options.show) {
    for (int i = 0; i < options.windows; ++i) {
      shown.push_back(std::make_unique<Dialog>(options, nullptr));
      shown.back()->show();
      shown.back()->activateWindow();
    }
    say("shown");
  }
  return application.exec();
}
