#include "platform/machine/simulated_lock_machine.hpp"

namespace platform::machine {

namespace ev = platform::events;

SimulatedLockMachine::ProcessSpec SimulatedLockMachine::loginWindowSpec() {
  ProcessSpec spec;
  spec.bundleIdentifier = "com.apple.loginwindow";
  spec.executablePath = kLoginWindowPath;
  spec.uid = kUserID;
  spec.signature = platform::codesign::Signature{true, true, true, true, "com.apple.loginwindow"};
  return spec;
}

SimulatedLockMachine::ProcessSpec SimulatedLockMachine::applicationSpec(const std::string& bundleIdentifier) {
  ProcessSpec spec;
  spec.bundleIdentifier = bundleIdentifier;
  spec.executablePath = "/Applications/" + bundleIdentifier + ".app/Contents/MacOS/" + bundleIdentifier;
  spec.uid = kUserID;
  spec.signature = platform::codesign::Signature{true, true, false, true, bundleIdentifier};
  return spec;
}

SimulatedLockMachine::SimulatedLockMachine()
    : distributed_(std::make_shared<platform::notifications::SimulatedNotificationCenter>()),
      workspace_(std::make_shared<platform::notifications::SimulatedNotificationCenter>()),
      session_(std::make_shared<platform::windowserver::SimulatedSessionSource>()),
      power_(std::make_shared<platform::power::SimulatedPowerManagement>()),
      accessibility_(std::make_shared<platform::accessibility::SimulatedAccessibility>()),
      applications_(std::make_shared<platform::workspace::SimulatedRunningApplications>()),
      processes_(std::make_shared<platform::processes::SimulatedProcesses>()),
      codeSigning_(std::make_shared<platform::codesign::SimulatedCodeSigning>()),
      events_(std::make_shared<ev::SimulatedEvents>()) {
  processes_->setCurrentUserID(kUserID);
  session_->setScreenLocked(false);
  launch(loginWindowSpec(), kLoginWindowPID);
  finderPID_ = launch(applicationSpec("com.apple.finder"));
  focus(finderPID_);
  events_->setDelivery([this](std::int32_t pid, const ev::KeyboardEvent& event) { receive(pid, event); });
}

void SimulatedLockMachine::install() {
  platform::notifications::installDistributedCenter(distributed_);
  platform::notifications::installWorkspaceCenter(workspace_);
  platform::windowserver::installSessionSource(session_);
  platform::power::install(power_);
  platform::accessibility::install(accessibility_);
  platform::workspace::installRunningApplications(applications_);
  platform::processes::install(processes_);
  platform::codesign::install(codeSigning_);
  platform::events::install(events_);
}

void SimulatedLockMachine::uninstall() {
  events_->setDelivery(nullptr);
  platform::notifications::installDistributedCenter(nullptr);
  platform::notifications::installWorkspaceCenter(nullptr);
  platform::windowserver::installSessionSource(nullptr);
  platform::power::install(nullptr);
  platform::accessibility::install(nullptr);
  platform::workspace::installRunningApplications(nullptr);
  platform::processes::install(nullptr);
  platform::codesign::install(nullptr);
  platform::events::install(nullptr);
}

std::int32_t SimulatedLockMachine::launch(const ProcessSpec& spec, std::optional<std::int32_t> pid) {
  const std::int32_t id = pid ? *pid : nextPID_++;
  terminate(id);
  clockMicroseconds_ += 370'000;
  clockSeconds_ += 1 + clockMicroseconds_ / 1'000'000;
  clockMicroseconds_ %= 1'000'000;
  platform::processes::BSDInfo info;
  info.pid = static_cast<std::uint32_t>(id);
  info.ppid = 1;
  info.uid = spec.uid;
  info.ruid = spec.uid;
  info.comm = spec.executablePath ? spec.executablePath->substr(spec.executablePath->rfind('/') + 1) : "";
  info.startSeconds = clockSeconds_;
  info.startMicroseconds = clockMicroseconds_;
  processes_->setProcess(info);
  applications_->add(std::make_shared<platform::workspace::SimulatedRunningApplication>(
      id, spec.bundleIdentifier, spec.executablePath));
  codeSigning_->setSignature(id, spec.signature);
  running_[id] = Running{spec};
  if (id == kLoginWindowPID) field_.clear();
  return id;
}

void SimulatedLockMachine::terminate(std::int32_t pid) {
  if (running_.erase(pid) == 0) return;
  applications_->remove(pid);
  processes_->removeProcess(pid);
  codeSigning_->removeProcess(pid);
}

void SimulatedLockMachine::restart(std::int32_t pid) {
  auto found = running_.find(pid);
  if (found == running_.end()) return;
  const ProcessSpec spec = found->second.spec;
  launch(spec, pid);
}

void SimulatedLockMachine::focus(std::int32_t pid) {
  accessibility_->setFocusedAnswer(platform::accessibility::SimulatedAccessibility::FocusedAnswer::application(pid));
  applications_->setFrontmost(pid);
}

void SimulatedLockMachine::lock() {
  session_->setScreenLocked(true);
  field_.clear();
  focus(kLoginWindowPID);
  distributed_->post(platform::notifications::kScreenIsLocked);
}

void SimulatedLockMachine::unlockByUser(bool notify) {
  session_->setScreenLocked(false);
  field_.clear();
  focus(finderPID_);
  if (notify) distributed_->post(platform::notifications::kScreenIsUnlocked);
}

void SimulatedLockMachine::sleepScreens() {
  power_->setDisplayAsleep(true);
  workspace_->post(platform::notifications::kScreensDidSleep);
}

void SimulatedLockMachine::wakeScreens() {
  power_->setDisplayAsleep(false);
  workspace_->post(platform::notifications::kScreensDidWake);
}

bool SimulatedLockMachine::sessionLocked() {
  auto dictionary = session_->copyCurrentDictionary();
  if (!dictionary) return false;
  auto found = dictionary->find(platform::windowserver::kSessionScreenIsLockedKey);
  return found != dictionary->end() && std::get_if<bool>(&found->second) && std::get<bool>(found->second);
}

// The login window's event handling: typed text goes into the password field; Return
// submits it. Shortcuts (Command or Control held) type nothing.
void SimulatedLockMachine::receive(std::int32_t pid, const ev::KeyboardEvent& event) {
  if (pid != kLoginWindowPID || running_.count(pid) == 0 || !sessionLocked()) return;
  if (!event.isKeyDown()) return;
  if (event.flags() & (ev::kEventFlagMaskCommand | ev::kEventFlagMaskControl)) return;
  if (event.keyCode() == 36) {
    ++returnPresses_;
    if (field_ == password_) {
      ++unlocks_;
      field_.clear();
      session_->setScreenLocked(false);
      focus(finderPID_);
      distributed_->post(platform::notifications::kScreenIsUnlocked);
    } else {
      ++rejected_;
      field_.clear();
    }
    return;
  }
  if (!event.unicodeString().empty()) {
    field_ += event.unicodeString();
  } else if (event.keyCode() == 0) {
    field_ += (event.flags() & ev::kEventFlagMaskShift) ? u"A" : u"a";
  }
}

}  // namespace platform::machine
