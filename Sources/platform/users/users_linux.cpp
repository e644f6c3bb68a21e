#include "platform/users/users_linux.hpp"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace platform::users {

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

}  // namespace platform::users
