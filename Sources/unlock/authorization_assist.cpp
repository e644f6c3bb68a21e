#include "unlock/authorization_assist.hpp"

#include "foundation/log.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "platform/defaults/defaults.hpp"
#include "platform/shared.hpp"
#include "unlock/authorization_target.hpp"

namespace quorvel {

AuthorizationAssist& AuthorizationAssist::shared() {
  static platform::SharedInstance<AuthorizationAssist> instance(
      [] { return std::shared_ptr<AuthorizationAssist>(new AuthorizationAssist()); });
  return instance.get();
}

AuthorizationAssist::AuthorizationAssist() = default;
AuthorizationAssist::~AuthorizationAssist() = default;

bool AuthorizationAssist::enabled() { return false; }

void AuthorizationAssist::setEnabled(bool value) { platform::defaults::standard()->setBool(localTestKey, value); }

bool AuthorizationAssist::available() { return false; }

void AuthorizationAssist::start() {}

void AuthorizationAssist::cancel() {
  token_.reset();
  if (scanner_) {
    scanner_->session.invalidate();
    scanner_->camera->stop();
  }
  scanner_.reset();
  field_.reset();
  if (ownsOverlay_) {
    LockScreenOverlay::shared().hide();
    ownsOverlay_ = false;
  }
}

void AuthorizationAssist::setStatus(const std::string& status) {
  if (status == status_) return;
  status_ = status;
  Log::app().info("Authorization assist: %{public}s", status_);
}

namespace AuthorizationSubmission {

bool perform(const std::function<bool()>& ready, const std::function<std::optional<std::string>()>& read,
             const std::function<bool(const std::string&)>& write, const std::function<bool()>& confirm) {
  if (!ready()) return false;
  const std::optional<std::string> password = read();
  if (!password) return false;
  if (!ready()) return false;
  if (!write(*password)) return false;
  if (!ready()) return false;
  return confirm();
}

}  // namespace AuthorizationSubmission

}  // namespace quorvel
