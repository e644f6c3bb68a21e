#include "platform/users/users.hpp"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace platform::users {

std::string SimulatedUsers::userName() {
  std::lock_guard<std::mutex> lock(mutex_);
  return userName_;
}

std::string SimulatedUsers::fullUserName() {
  std::lock_guard<std::mutex> lock(mutex_);
  return fullUserName_;
}

void SimulatedUsers::setUserName(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  userName_ = std::move(name);
}

void SimulatedUsers::setFullUserName(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  fullUserName_ = std::move(name);
}

namespace {

struct Record {
  std::string name;
  std::string comment;
};

bool readRecord(Record* record) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  struct passwd entry {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result) return false;
  record->name = entry.pw_name ? entry.pw_name : "";
  record->comment = entry.pw_gecos ? entry.pw_gecos : "";
  return true;
}

}  // namespace

std::string LinuxUsers::userName() {
  Record record;
  return readRecord(&record) ? record.name : std::string();
}

std::string LinuxUsers::fullUserName() {
  Record record;
  if (!readRecord(&record)) return {};
  return record.comment.substr(0, record.comment.find(','));
}

namespace {
std::mutex installedMutex;
std::shared_ptr<Users>& installed() {
  static std::shared_ptr<Users> users;
  return users;
}
}  // namespace

std::shared_ptr<Users> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxUsers>();
  return installed();
}

void install(std::shared_ptr<Users> users) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(users);
}

}  // namespace platform::users
