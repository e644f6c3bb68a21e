#include "platform/defaults/defaults_linux.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/paths/paths.hpp"

namespace platform::defaults {

namespace {

using Json = nlohmann::json;

Json toJson(const Value& value) {
  return std::visit([](const auto& v) { return Json(v); }, value);
}

std::optional<Value> fromJson(const Json& json) {
  if (json.is_boolean()) return Value(json.get<bool>());
  if (json.is_number_integer()) return Value(json.get<std::int64_t>());
  if (json.is_number_float()) return Value(json.get<double>());
  if (json.is_string()) return Value(json.get<std::string>());
  return std::nullopt;  // other kinds are not ours: ignored on read
}

// Reads the file's map; false when it exists but cannot be parsed.
bool readFile(const std::string& path, std::map<std::string, Value>& out) {
  out.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // absent: empty domain
  std::stringstream buffer;
  buffer << in.rdbuf();
  return decodeFile(buffer.str(), out);
}

bool writeFileAtomically(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < contents.size()) {
    const auto n = ::write(fd, contents.data() + written, contents.size() - written);
    if (n <= 0) {
      ::close(fd);
      ::unlink(temporary.c_str());
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

bool decodeFile(const std::string& text, std::map<std::string, Value>& values) {
  values.clear();
  if (text.empty()) return true;
  Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return false;
  for (const auto& [key, item] : json.items()) {
    if (auto value = fromJson(item)) values.emplace(key, *value);
  }
  return true;
}

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) {}

FileUserDefaults::Stamp FileUserDefaults::stampOfFile() const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) return Stamp{};
  return Stamp{true, static_cast<std::int64_t>(info.st_ino), static_cast<std::int64_t>(info.st_size),
               static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
               static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
}

void FileUserDefaults::refreshLocked() const {
  const Stamp stamp = stampOfFile();
  if (everLoaded_ && stamp == loaded_) return;
  std::map<std::string, Value> values;
  if (!readFile(path_, values)) values.clear();
  values_ = std::move(values);
  loaded_ = stamp;
  everLoaded_ = true;
}

std::optional<Value> FileUserDefaults::persistentObject(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

bool FileUserDefaults::change(const std::string& key, const std::optional<Value>& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folder = folderOf(path_);
  if (!paths::createFolders(folder)) return false;
  // The advisory lock serialises read-modify-write cycles of several processes.
  const std::string lockPath = path_ + ".lock";
  const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
  std::map<std::string, Value> current;
  if (!readFile(path_, current)) {
    // Keep an unreadable file beside the new one rather than losing it silently.
    ::rename(path_.c_str(), (path_ + ".unreadable").c_str());
    current.clear();
  }
  if (value) {
    current[key] = *value;
  } else {
    current.erase(key);
  }
  Json json = Json::object();
  for (const auto& [k, v] : current) json[k] = toJson(v);
  const bool ok = writeFileAtomically(path_, json.dump(2) + "\n");
  if (lockFd >= 0) {
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
  }
  everLoaded_ = false;  // next read reloads (and picks up the stamp of our own write)
  if (ok) {
    values_ = std::move(current);
  }
  return ok;
}

void FileUserDefaults::set(const std::string& key, const Value& value) { change(key, value); }
void FileUserDefaults::remove(const std::string& key) { change(key, std::nullopt); }

std::string standardFilePath() {
  return paths::configHome() + "/" + paths::kApplicationFolder + "/defaults.json";
}

}  // namespace platform::defaults
