#include "platform/pam/pam.hpp"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

#include "platform/secure/secure.hpp"

namespace platform::pam {
namespace {

struct Conversation {
  std::string_view user;
  std::string_view password;
  bool passwordGiven = false;
};

// Answers the modules' prompts: the first hidden prompt gets the password, a visible prompt
// the user name; messages are read and dropped. A second hidden prompt (a second factor,
// a new password) cannot be answered here, which ends the transaction.
int converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data) {
  if (count <= 0 || !messages || !responses || !data) return PAM_CONV_ERR;
  auto* conversation = static_cast<Conversation*>(data);
  auto* replies = static_cast<struct pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(struct pam_response)));
  if (!replies) return PAM_BUF_ERR;
  auto copy = [](std::string_view text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out) {
      std::memcpy(out, text.data(), text.size());
      out[text.size()] = '\0';
    }
    return out;
  };
  auto fail = [&](int status) {
    for (int i = 0; i < count; ++i) {
      if (replies[i].resp) {
        secure::wipe(replies[i].resp, std::strlen(replies[i].resp));
        std::free(replies[i].resp);
      }
    }
    std::free(replies);
    return status;
  };
  for (int i = 0; i < count; ++i) {
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        if (conversation->passwordGiven) return fail(PAM_CONV_ERR);
        conversation->passwordGiven = true;
        // PAM owns the answer from here on: Linux-PAM overwrites it before freeing it.
        replies[i].resp = copy(conversation->password);
        if (!replies[i].resp) return fail(PAM_BUF_ERR);
        break;
      case PAM_PROMPT_ECHO_ON:
        replies[i].resp = copy(conversation->user);
        if (!replies[i].resp) return fail(PAM_BUF_ERR);
        break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        break;
      default:
        return fail(PAM_CONV_ERR);
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

Verdict verdictOf(int status) {
  switch (status) {
    case PAM_SUCCESS:
      return Verdict::accepted;
    case PAM_AUTH_ERR:
    case PAM_USER_UNKNOWN:
    case PAM_CRED_INSUFFICIENT:
    case PAM_MAXTRIES:
    case PAM_PERM_DENIED:
    case PAM_ACCT_EXPIRED:
    case PAM_NEW_AUTHTOK_REQD:
      return Verdict::refused;
    default:
      return Verdict::unavailable;
  }
}

}  // namespace

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::accepted: return "accepted";
    case Verdict::refused: return "refused";
    case Verdict::unavailable: return "unavailable";
  }
  return "unavailable";
}

Verdict checkPassword(const std::string& service, const std::string& user, std::string_view password) {
  if (service.empty() || user.empty()) return Verdict::unavailable;
  Conversation conversation{user, password};
  const struct pam_conv conv {converse, &conversation};
  pam_handle_t* handle = nullptr;
  int status = ::pam_start(service.c_str(), user.c_str(), &conv, &handle);
  if (status != PAM_SUCCESS || !handle) {
    if (handle) ::pam_end(handle, status);
    return Verdict::unavailable;
  }
  // The account stack runs only for a password that was accepted.
  status = ::pam_authenticate(handle, PAM_SILENT);
  if (status == PAM_SUCCESS) status = ::pam_acct_mgmt(handle, PAM_SILENT);
  ::pam_end(handle, status);
  return verdictOf(status);
}

bool isAvailable(const std::string& service, const std::string& user) {
  if (service.empty() || user.empty()) return false;
  const struct pam_conv conv {converse, nullptr};
  pam_handle_t* handle = nullptr;
  const int status = ::pam_start(service.c_str(), user.c_str(), &conv, &handle);
  if (handle) ::pam_end(handle, status);
  return status == PAM_SUCCESS;
}

}  // namespace platform::pam
