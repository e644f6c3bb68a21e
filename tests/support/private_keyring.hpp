// A private session bus with a real gnome-keyring-daemon on it, for the keychain's linux layer.
// HOME and the XDG folders of this process and of the children point under `folder`, set
// before the bus starts; DBUS_SESSION_BUS_ADDRESS points at the bus while the object lives.
// The bus activates nothing, so a stopped keyring stays gone. Every child is ended by its PID
// (and dies with the test should it crash); every wait has a time-out.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace quorvel::testing {

class PrivateBus;

class PrivateKeyring {
 public:
  explicit PrivateKeyring(std::string folder);  // starts the bus
  // On a session bus that already runs at `busAddress` (a desktop's), instead of its own.
  PrivateKeyring(std::string folder, std::string busAddress);
  ~PrivateKeyring();
  PrivateKeyring(const PrivateKeyring&) = delete;
  PrivateKeyring& operator=(const PrivateKeyring&) = delete;

  bool running() const { return connection_; }

  // Starts the daemon's secrets component. With a password it unlocks (at first creates) the
  // login keyring and waits for the default collection too. False after 10 s.
  bool startKeyring(const std::optional<std::string>& password = std::string("test password"));
  // SIGTERM, then SIGKILL after 3 s; the keyring files stay.
  void stopKeyring() { end(keyringPid_); }
  // SIGKILL (the daemon is reaped), SIGSTOP, SIGCONT, ...
  void signalKeyring(int signal);

  // Locks the default collection through the service.
  bool lockDefaultCollection();
  // How many items, locked or not, carry these attributes (no value: no answer).
  std::optional<int> countItems(const std::map<std::string, std::string>& attributes);

 private:
  std::optional<std::string> defaultCollection();
  void end(pid_t& pid);

  std::string folder_;
  std::optional<std::string> previousAddress_;
  std::unique_ptr<PrivateBus> bus_;
  pid_t keyringPid_ = -1;
  void* connection_ = nullptr;  // GDBusConnection to the bus
};

}  // namespace quorvel::testing
