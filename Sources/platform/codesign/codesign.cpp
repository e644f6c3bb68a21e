#include "platform/codesign/codesign.hpp"

#include <sys/stat.h>

#include <cctype>

#include "platform/logind/login_session.hpp"

namespace platform::codesign {

namespace {
constexpr const char* kLoginWindowIdentifier = "com.apple.loginwindow";
}  // namespace

// --- requirement language ------------------------------------------------------------------

namespace {

class Tokens {
 public:
  explicit Tokens(const std::string& text) : text_(text) {}

  // The next word or quoted string; quoted strings come back without their quotes and with
  // `quoted` set. False at the end or on an unterminated quote.
  bool next(std::string* token, bool* quoted) {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) ++position_;
    if (position_ >= text_.size()) return false;
    token->clear();
    *quoted = false;
    if (text_[position_] == '"') {
      *quoted = true;
      ++position_;
      while (position_ < text_.size() && text_[position_] != '"') {
        if (text_[position_] == '\\' && position_ + 1 < text_.size()) ++position_;
        token->push_back(text_[position_++]);
      }
      if (position_ >= text_.size()) {
        failed_ = true;
        return false;
      }
      ++position_;
      return true;
    }
    while (position_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[position_])) &&
           text_[position_] != '"') {
      token->push_back(text_[position_++]);
    }
    return true;
  }
  bool failed() const { return failed_; }

 private:
  const std::string& text_;
  std::size_t position_ = 0;
  bool failed_ = false;
};

}  // namespace

OSStatus parseRequirement(const std::string& text, Requirement* requirement) {
  Requirement parsed;
  parsed.text = text;
  Tokens tokens(text);
  std::string token;
  bool quoted = false;
  bool expectClause = true;
  bool any = false;
  // Looks at the following token without losing it.
  std::optional<std::pair<std::string, bool>> pending;
  auto take = [&](std::string* out, bool* isQuoted) {
    if (pending) {
      *out = pending->first;
      *isQuoted = pending->second;
      pending.reset();
      return true;
    }
    return tokens.next(out, isQuoted);
  };
  while (take(&token, &quoted)) {
    if (!expectClause) {
      if (quoted || token != "and") return errSecCSReqInvalid;
      expectClause = true;
      continue;
    }
    if (quoted) return errSecCSReqInvalid;
    if (token == "anchor") {
      if (!take(&token, &quoted) || quoted || token != "apple") return errSecCSReqInvalid;
      std::string following;
      bool followingQuoted = false;
      if (take(&following, &followingQuoted)) {
        if (!followingQuoted && following == "generic") {
          parsed.anchorAppleGeneric = true;
        } else {
          parsed.anchorApple = true;
          pending = std::make_pair(following, followingQuoted);
        }
      } else {
        parsed.anchorApple = true;
      }
    } else if (token == "identifier") {
      if (!take(&token, &quoted)) return errSecCSReqInvalid;
      if (!quoted && (token.empty() || token == "and")) return errSecCSReqInvalid;
      // Two different identifiers can never both hold.
      if (parsed.identifier && *parsed.identifier != token) parsed.contradictory = true;
      parsed.identifier = token;
    } else {
      return errSecCSReqInvalid;
    }
    expectClause = false;
    any = true;
  }
  if (tokens.failed() || !any || expectClause) return errSecCSReqInvalid;
  if (requirement) *requirement = parsed;
  return errSecSuccess;
}

bool satisfies(const Signature& signature, const Requirement& requirement) {
  if (!signature.isSigned || requirement.contradictory) return false;
  if (requirement.anchorApple && !signature.anchorApple) return false;
  if (requirement.anchorAppleGeneric && !(signature.anchorApple || signature.appleGeneric)) return false;
  if (requirement.identifier && *requirement.identifier != signature.identifier) return false;
  return true;
}

// --- simulated -----------------------------------------------------------------------------

OSStatus SimulatedCodeSigning::copyGuestWithAttributes(const GuestAttributes& attributes,
                                                       std::shared_ptr<Code>* code) {
  if (!code) return errSecCSInvalidObjectRef;
  code->reset();
  std::lock_guard<std::mutex> lock(mutex_);
  if (guestFailure_ != errSecSuccess) return guestFailure_;
  if (!attributes.pid) return errSecCSInvalidAttributeValues;
  auto found = signatures_.find(*attributes.pid);
  if (found == signatures_.end()) return errSecCSNoSuchCode;
  *code = std::make_shared<Code>(Code{*attributes.pid, found->second});
  return errSecSuccess;
}

OSStatus SimulatedCodeSigning::createRequirementWithString(const std::string& text,
                                                           std::shared_ptr<Requirement>* requirement) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requirementTexts_.push_back(text);
  }
  if (!requirement) return errSecCSInvalidObjectRef;
  Requirement parsed;
  const OSStatus status = parseRequirement(text, &parsed);
  if (status != errSecSuccess) return status;
  *requirement = std::make_shared<Requirement>(parsed);
  return errSecSuccess;
}

OSStatus SimulatedCodeSigning::checkValidity(const Code& code, const Requirement& requirement) {
  if (!code.signature.isSigned) return errSecCSUnsigned;
  if (!code.signature.intact) return errSecCSSignatureFailed;
  return satisfies(code.signature, requirement) ? errSecSuccess : errSecCSReqFailed;
}

void SimulatedCodeSigning::setSignature(std::int32_t pid, Signature signature) {
  std::lock_guard<std::mutex> lock(mutex_);
  signatures_[pid] = std::move(signature);
}

void SimulatedCodeSigning::removeProcess(std::int32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  signatures_.erase(pid);
}

void SimulatedCodeSigning::setGuestFailure(OSStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  guestFailure_ = status;
}

std::vector<std::string> SimulatedCodeSigning::requirementTexts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requirementTexts_;
}

// --- linux ---------------------------------------------------------------------------------

OSStatus LinuxCodeSigning::copyGuestWithAttributes(const GuestAttributes& attributes,
                                                   std::shared_ptr<Code>* code) {
  if (!code) return errSecCSInvalidObjectRef;
  code->reset();
  if (!attributes.pid) return errSecCSInvalidAttributeValues;
  if (*attributes.pid < 1) return errSecCSNoSuchCode;
  struct stat info {};
  if (::stat(("/proc/" + std::to_string(*attributes.pid)).c_str(), &info) != 0) return errSecCSNoSuchCode;
  Signature signature;
  const auto lockScreen = logind::LoginSession::shared()->lockScreen();
  if (lockScreen && lockScreen->genuine && lockScreen->pid == *attributes.pid) {
    signature = Signature{true, true, true, true, kLoginWindowIdentifier};
  }
  *code = std::make_shared<Code>(Code{*attributes.pid, signature});
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::createRequirementWithString(const std::string& text,
                                                       std::shared_ptr<Requirement>* requirement) {
  if (!requirement) return errSecCSInvalidObjectRef;
  Requirement parsed;
  const OSStatus status = parseRequirement(text, &parsed);
  if (status != errSecSuccess) return status;
  *requirement = std::make_shared<Requirement>(parsed);
  return errSecSuccess;
}

OSStatus LinuxCodeSigning::checkValidity(const Code& code, const Requirement& requirement) {
  if (!code.signature.isSigned) return errSecCSUnsigned;
  return satisfies(code.signature, requirement) ? errSecSuccess : errSecCSReqFailed;
}

namespace {
std::mutex installedMutex;
std::shared_ptr<CodeSigning>& installed() {
  static std::shared_ptr<CodeSigning> signing;
  return signing;
}
}  // namespace

std::shared_ptr<CodeSigning> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxCodeSigning>();
  return installed();
}

void install(std::shared_ptr<CodeSigning> signing) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(signing);
}

}  // namespace platform::codesign
