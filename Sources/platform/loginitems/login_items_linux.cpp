#include "platform/loginitems/login_items_linux.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>

#include "platform/files/files.hpp"
#include "platform/paths/paths.hpp"

namespace platform::loginitems {

namespace {

constexpr const char* kEntryName = "com.tessmin.quorvel.desktop";

// The running executable; a binary replaced while it runs reads as "<path> (deleted)".
std::string runningExecutable() {
  std::error_code error;
  std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) return {};
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.resize(path.size() - kDeleted.size());
  }
  return path;
}

// An argument of Exec, quoted whole: `"`, `` ` ``, `$` and `\` escaped by a backslash, `%`
// doubled (field codes); then escaped as a string value (backslash, line breaks, tab).
std::string quotedArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  std::string escaped;
  for (const char c : quoted) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\r': escaped += "\\r"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// A string value with its escapes (\s \n \t \r \\) resolved.
std::string unescapedValue(const std::string& value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      text += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's': text += ' '; break;
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      case 'r': text += '\r'; break;
      default: text += value[i];
    }
  }
  return text;
}

// The keys of the [Desktop Entry] group; no value when the text has no such group.
std::optional<std::map<std::string, std::string>> desktopEntry(const std::string& text) {
  std::map<std::string, std::string> keys;
  bool inEntry = false;
  bool found = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      found = found || inEntry;
      continue;
    }
    const auto equals = line.find('=');
    if (!inEntry || equals == std::string::npos) continue;
    auto key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    auto value = line.substr(equals + 1);
    while (!value.empty() && value.front() == ' ') value.erase(value.begin());
    keys.emplace(std::move(key), std::move(value));
  }
  if (!found) return std::nullopt;
  return keys;
}

bool isExecutable(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// The platform's wording for a file that could not be written or removed.
Error fileError(const char* verb, int error) {
  return Error{std::string("The file \u201c") + kEntryName + "\u201d couldn\u2019t be " + verb +
               ": " + std::strerror(error) + "."};
}

}  // namespace

std::shared_ptr<Service> makeLinuxService() { return std::make_shared<AutostartService>(); }

AutostartService::AutostartService(std::string executable) : executable_(std::move(executable)) {}

std::string AutostartService::entryPath() {
  return paths::configHome() + "/autostart/" + kEntryName;
}

std::string AutostartService::entryText(const std::string& executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Version=1.0\n"
         "Name=Quorvel\n"
         "Comment=Unlocks the screen when the camera sees its enrolled user\n"
         "Exec=" + quotedArgument(executable) + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> AutostartService::programOf(const std::string& exec) {
  const std::string text = unescapedValue(exec);
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return std::nullopt;
  const bool quoted = text[i] == '"';
  std::string program;
  for (i += quoted ? 1 : 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted ? c == '"' : (c == ' ' || c == '\t')) return program;
    if (quoted && c == '\\' && i + 1 < text.size()) {
      program += text[++i];
    } else {
      program += c;
      if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
    }
  }
  if (quoted) return std::nullopt;  // no closing quote
  return program;
}

Status AutostartService::status() {
  const std::string path = entryPath();
  const auto data = files::readWholeFile(path);
  if (!data) {
    return ::access(path.c_str(), F_OK) != 0 && errno == ENOENT ? Status::notRegistered
                                                                : Status::notFound;
  }
  const auto keys = desktopEntry(std::string(data->begin(), data->end()));
  if (!keys) return Status::notFound;
  const auto value = [&](const char* key) {
    const auto found = keys->find(key);
    return found == keys->end() ? std::string() : found->second;
  };
  if (value("Type") != "Application") return Status::notFound;
  if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false") {
    return Status::requiresApproval;
  }
  const auto program = programOf(value("Exec"));
  return program && !program->empty() && isExecutable(*program) ? Status::enabled
                                                                 : Status::notFound;
}

std::optional<Error> AutostartService::registerApp() {
  const std::string executable = executable_.empty() ? runningExecutable() : executable_;
  if (executable.empty()) return fileError("saved", ENOENT);
  const std::string path = entryPath();
  if (!paths::createFolders(path.substr(0, path.rfind('/')))) return fileError("saved", errno);
  const std::string text = entryText(executable);
  errno = 0;
  if (!files::writeFileAtomically(path, files::Bytes(text.begin(), text.end()))) {
    return fileError("saved", errno ? errno : EIO);
  }
  return std::nullopt;
}

std::optional<Error> AutostartService::unregisterApp() {
  if (::unlink(entryPath().c_str()) != 0 && errno != ENOENT) return fileError("removed", errno);
  return std::nullopt;
}

}  // namespace platform::loginitems
