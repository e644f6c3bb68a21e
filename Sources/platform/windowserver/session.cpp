#include "platform/windowserver/session.hpp"

#include <mutex>

#include "platform/windowserver/session_linux.hpp"

namespace platform::windowserver {

namespace {
std::mutex installedMutex;
std::shared_ptr<SessionSource>& installedSource() {
  static std::shared_ptr<SessionSource> source;
  return source;
}
}  // namespace

std::shared_ptr<SessionSource> sessionSource() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installedSource()) installedSource() = std::make_shared<LinuxSessionSource>();
  return installedSource();
}

void installSessionSource(std::shared_ptr<SessionSource> source) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installedSource() = std::move(source);
}

}  // namespace platform::windowserver
