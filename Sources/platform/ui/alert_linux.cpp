#include "platform/ui/alert_linux.hpp"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include <utility>

#include "platform/log/log.hpp"
#include "platform/symbols/symbol_set.hpp"
#include "platform/windows/windows.hpp"

namespace platform::ui {

namespace {

// The application's icon beside the texts, as alerts show it.
QPixmap alertIcon() {
  QPixmap pixmap(48, 48);
  pixmap.fill(Qt::transparent);
  if (const auto path = symbols::symbolPath("faceid", 40)) {
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(24, 24);
    painter.fillPath(*path, QColor::fromRgbF(0.19f, 0.82f, 0.35f));
  }
  return pixmap;
}

// A modal alert window: the message in bold, the informative text, an optional secure field
// (which has the keyboard from the start) and the buttons, the first one the default, on the
// right. Escape answers with the button titled "Cancel" when there is one, and a notice (one
// button) with that button, as message boxes are dismissed.
class AlertDialog : public QDialog {
 public:
  explicit AlertDialog(const Alert& alert) {
    setWindowTitle("Quorvel");
    setModal(true);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* columns = new QHBoxLayout(this);
    columns->setContentsMargins(20, 20, 20, 16);
    columns->setSpacing(16);
    auto* icon = new QLabel(this);
    icon->setPixmap(alertIcon());
    icon->setAlignment(Qt::AlignTop);
    columns->addWidget(icon, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(8);
    columns->addLayout(texts);

    auto* message = new QLabel(QString::fromStdString(alert.messageText), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    message->setWordWrap(true);
    message->setObjectName("message");
    texts->addWidget(message);
    if (!alert.informativeText.empty()) {
      auto* informative = new QLabel(QString::fromStdString(alert.informativeText), this);
      informative->setWordWrap(true);
      informative->setObjectName("informative");
      texts->addWidget(informative);
    }
    if (alert.secureField) {
      field_ = new QLineEdit(this);
      field_->setEchoMode(QLineEdit::Password);
      field_->setFixedSize(static_cast<int>(alert.secureField->width),
                           static_cast<int>(alert.secureField->height));
      field_->setObjectName("secureField");
      texts->addWidget(field_);
    }
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    texts->addSpacing(4);
    texts->addLayout(buttons);
    const auto titles = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    // The first button sits on the right, as the default; the others to its left in order.
    for (std::size_t i = titles.size(); i-- > 0;) {
      auto* button = new QPushButton(QString::fromStdString(titles[i]), this);
      button->setAutoDefault(false);
      if (i == 0) button->setDefault(true);
      if (titles[i] == "Cancel") escapeIndex_ = static_cast<int>(i);
      QObject::connect(button, &QPushButton::clicked, this, [this, i] { answer(i); });
      buttons->addWidget(button);
    }
    if (titles.size() == 1) escapeIndex_ = 0;
    setMinimumWidth(420);
    if (field_) field_->setFocus();
  }

  std::size_t answered() const { return answered_; }
  std::string text() const { return field_ ? field_->text().toStdString() : std::string(); }
  void clearField() {
    if (field_) field_->clear();
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Escape) {
      if (escapeIndex_ >= 0) answer(static_cast<std::size_t>(escapeIndex_));
      return;
    }
    QDialog::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    // Closed by the window system: the way out, as Escape.
    if (escapeIndex_ >= 0) {
      answer(static_cast<std::size_t>(escapeIndex_));
    } else {
      event->ignore();
    }
  }

 private:
  void answer(std::size_t index) {
    answered_ = index;
    done(QDialog::Accepted);
  }

  QLineEdit* field_ = nullptr;
  int escapeIndex_ = -1;
  std::size_t answered_ = 0;
};

class LinuxAlerts : public AlertPresenter {
 public:
  AlertAnswer runModal(const Alert& alert) override {
    if (!windows::hasRealDisplay()) {
      platform::log::Logger("com.tessmin.quorvel", "app")
          .error("No display for the alert \"%s\"; answered with its last button",
                 alert.messageText);
      return dismissed(alert);
    }
    // An open pop-up would keep the keyboard and the pointer from the alert.
    while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    AlertDialog dialog(alert);
    dialog.adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      // Where alerts stand: centred, a little above the middle.
      dialog.move(area.center().x() - dialog.width() / 2, area.top() + area.height() / 4);
    }
    // The keyboard goes to the dialog (its secure field) from the start.
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    dialog.exec();
    AlertAnswer answer{responseAt(dialog.answered()), dialog.text()};
    dialog.clearField();
    return answer;
  }
};

}  // namespace

std::shared_ptr<AlertPresenter> makeLinuxAlerts() { return std::make_shared<LinuxAlerts>(); }

}  // namespace platform::ui
