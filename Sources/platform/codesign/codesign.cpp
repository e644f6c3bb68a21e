#include "platform/codesign/codesign.hpp"

#include <cctype>
#include <mutex>

#include "platform/codesign/codesign_linux.hpp"

namespace platform::codesign {

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
