#include "platform/localauth/local_auth_linux.hpp"

#include <utility>

#include "platform/dispatch/dispatch.hpp"
#include "platform/logind/login_session.hpp"
#include "platform/pam/pam.hpp"
#include "platform/ui/alert.hpp"
#include "platform/users/users.hpp"
#include "platform/windows/windows.hpp"

namespace platform::localauth {

namespace {

using Reply = std::function<void(bool, std::optional<AuthError>)>;

void replyLater(Reply reply, bool success, std::optional<AuthError> error) {
  dispatch::globalQueue(dispatch::QoS::UserInitiated).async(
      [reply = std::move(reply), success, error] { reply(success, error); });
}

void wipe(std::string& secret) {
  volatile char* bytes = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = 0;
  secret.clear();
}

class LinuxContext : public Context {
 public:
  explicit LinuxContext(PasswordChecker checker) : checker_(std::move(checker)) {}

  bool canEvaluateDeviceOwnerAuthentication() override {
    return checker_ && windows::hasRealDisplay();
  }

  void evaluateDeviceOwnerAuthentication(const std::string& reason, Reply reply) override {
    if (!canEvaluateDeviceOwnerAuthentication()) {
      replyLater(std::move(reply), false, AuthError::notAvailable);
      return;
    }
    prompt(checker_, reason, std::move(reply), 1);
  }

 private:
  // Shows the prompt on the main queue; the answer is checked on a global queue.
  static void prompt(PasswordChecker checker, std::string reason, Reply reply, int attempt) {
    dispatch::mainQueue().async([checker = std::move(checker), reason = std::move(reason),
                                 reply = std::move(reply), attempt]() mutable {
      const std::string user = users::current()->userName();
      ui::Alert alert{"Quorvel is trying to " + reason + ".",
                      attempt == 1 ? "Enter the password of \u201c" + user + "\u201d to allow this."
                                   : "The password was not right. Try again.",
                      {"OK", "Cancel"},
                      ui::SecureFieldAccessory{}};
      ui::AlertAnswer answer = ui::alerts()->runModal(alert);
      if (answer.response != ui::AlertResponse::firstButton) {
        wipe(answer.text);
        replyLater(std::move(reply), false, AuthError::userCancel);
        return;
      }
      dispatch::globalQueue(dispatch::QoS::UserInitiated)
          .async([checker = std::move(checker), reason = std::move(reason),
                  reply = std::move(reply), attempt, user,
                  password = std::move(answer.text)]() mutable {
            const PasswordCheck result = checker(user, password);
            wipe(password);
            switch (result) {
              case PasswordCheck::accepted:
                reply(true, std::nullopt);
                break;
              case PasswordCheck::unavailable:
                reply(false, AuthError::notAvailable);
                break;
              case PasswordCheck::rejected:
                if (attempt < kPasswordAttempts) {
                  prompt(std::move(checker), std::move(reason), std::move(reply), attempt + 1);
                } else {
                  reply(false, AuthError::authenticationFailed);
                }
                break;
            }
          });
    });
  }

  PasswordChecker checker_;
};

class LinuxProvider : public Provider {
 public:
  explicit LinuxProvider(PasswordChecker checker) : checker_(std::move(checker)) {}
  std::shared_ptr<Context> makeContext() override { return std::make_shared<LinuxContext>(checker_); }

 private:
  PasswordChecker checker_;
};

}  // namespace

PasswordChecker loginPasswordChecker() {
  // The user's login password is checked by PAM, with the service the session layers use
  // (/etc/pam.d/quorvel: the system's common authentication and account rules).
  return [](const std::string& user, const std::string& password) {
    switch (pam::checkPassword(logind::kPamService, user, password)) {
      case pam::Verdict::accepted:
        return PasswordCheck::accepted;
      case pam::Verdict::refused:
        return PasswordCheck::rejected;
      case pam::Verdict::unavailable:
        break;
    }
    return PasswordCheck::unavailable;
  };
}

std::shared_ptr<Provider> makeLinuxProvider(PasswordChecker checker) {
  return std::make_shared<LinuxProvider>(std::move(checker));
}

}  // namespace platform::localauth
