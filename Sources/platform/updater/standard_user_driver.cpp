#include "platform/updater/standard_user_driver.hpp"

#include <cstring>
#include <vector>

#include "platform/ui/alert.hpp"
#include "platform/ui/application.hpp"
#include "platform/workspace/url_opener.hpp"

namespace platform::updater {
namespace {

constexpr const char* kApplicationName = "Quorvel";

platform::ui::AlertAnswer present(std::string message, std::string informative,
                                  std::vector<std::string> buttons) {
  // The answer comes some time after the user asked: bring it to the front.
  platform::ui::shared()->activate(true);
  return platform::ui::alerts()->runModal(
      platform::ui::Alert{std::move(message), std::move(informative), std::move(buttons), std::nullopt});
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A file address for a local folder, its path percent-encoded.
std::string fileURL(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  std::string url = "file://";
  for (const unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::strchr("/-._~", c)) {
      url += static_cast<char>(c);
    } else {
      url += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return url;
}

// Whether `text` cut at `end` would split a UTF-8 sequence.
bool insideCharacter(const std::string& text, std::size_t end) {
  return end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
}

}  // namespace

std::string shortenedNotes(const std::string& notes) {
  std::size_t end = 0, lines = 1;
  while (end < notes.size() && end < kMaximumNotesBytes) {
    if (notes[end] == '\n' && ++lines > kMaximumNotesLines) break;
    ++end;
  }
  if (end >= notes.size()) return notes;
  while (end > 0 && insideCharacter(notes, end)) --end;
  return notes.substr(0, end) + "\u2026";
}

void StandardUserDriver::showUpdateFound(const FoundUpdate& update) {
  std::string informative = std::string(kApplicationName) + " " + update.version +
                            " is now available\u2014you have " + update.hostVersion + ".\n\n" +
                            "Its archive was downloaded and its signature verified: " +
                            update.archivePath + ". " + kApplicationName +
                            " does not replace itself; install the new version from that archive.";
  if (!update.releaseNotes.empty()) informative += "\n\n" + shortenedNotes(update.releaseNotes);
  std::vector<std::string> buttons{"Show in Folder"};
  if (!update.releasePage.empty()) buttons.push_back("Release Page");
  buttons.push_back("Later");
  const auto answer =
      present(std::string("A new version of ") + kApplicationName + " is available!", informative, buttons);
  if (answer.response == platform::ui::AlertResponse::firstButton) {
    platform::workspace::urlOpener()->open(fileURL(folderOf(update.archivePath)));
  } else if (answer.response == platform::ui::AlertResponse::secondButton &&
             !update.releasePage.empty()) {
    platform::workspace::urlOpener()->open(update.releasePage);
  }
}

void StandardUserDriver::showUpdateNotFound(const Error& error) {
  present("You\u2019re up to date!", error.localizedDescription, {"OK"});
}

void StandardUserDriver::showUpdaterError(const Error& error) {
  present("Update Error!", error.localizedDescription, {"OK"});
}

void StandardUserDriver::showCannotStart(const Error& error) {
  present("Unable to Check For Updates", error.localizedDescription, {"OK"});
}

}  // namespace platform::updater
