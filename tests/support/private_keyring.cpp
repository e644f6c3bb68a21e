#include "support/private_keyring.hpp"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

// After GIO: Qt defines keyword macros.
#include "support/desktop_session.hpp"

namespace quorvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(10);

bool reap(pid_t pid, std::chrono::seconds limit) {
  for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
    const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || done < 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Starts a child with the given stdin and stdout (-1: /dev/null); it dies with us.
pid_t spawn(std::vector<std::string> arguments, int input, int output) {
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int flags = G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL |
                    (input < 0 ? G_SPAWN_STDIN_FROM_DEV_NULL : 0) |
                    (output < 0 ? G_SPAWN_STDOUT_TO_DEV_NULL : 0);
  const auto dieWithParent = [](gpointer) { ::prctl(PR_SET_PDEATHSIG, SIGKILL); };
  GPid pid = -1;
  const bool started = g_spawn_async_with_pipes_and_fds(
      nullptr, argv.data(), nullptr, static_cast<GSpawnFlags>(flags), dieWithParent, nullptr, input,
      output, -1, nullptr, nullptr, 0, &pid, nullptr, nullptr, nullptr, nullptr);
  return started ? pid : -1;
}

GVariant* call(void* connection, const char* destination, const char* path, const char* interface,
               const char* method, GVariant* parameters) {
  return g_dbus_connection_call_sync(static_cast<GDBusConnection*>(connection), destination, path,
                                     interface, method, parameters, nullptr,
                                     G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
}

GVariant* callSecrets(void* connection, const char* method, GVariant* parameters) {
  return call(connection, "org.freedesktop.secrets", "/org/freedesktop/secrets",
              "org.freedesktop.Secret.Service", method, parameters);
}

}  // namespace

PrivateKeyring::PrivateKeyring(std::string folder) : PrivateKeyring(std::move(folder), "") {}

PrivateKeyring::PrivateKeyring(std::string folder, std::string busAddress) : folder_(std::move(folder)) {
  namespace fs = std::filesystem;
  for (const auto& [name, sub] : {std::pair{"HOME", "/home"},
                                  {"XDG_DATA_HOME", "/data"},
                                  {"XDG_CONFIG_HOME", "/config"},
                                  {"XDG_CACHE_HOME", "/cache"},
                                  {"XDG_RUNTIME_DIR", "/run"}}) {
    fs::create_directories(folder_ + sub);
    fs::permissions(folder_ + sub, fs::perms::owner_all, fs::perm_options::replace);
    ::setenv(name, (folder_ + sub).c_str(), 1);
  }
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousAddress_ = address;
  ::unsetenv("DISPLAY");  // nothing may prompt or autolaunch through X
  if (busAddress.empty()) {
    bus_ = std::make_unique<PrivateBus>(folder_ + "/run");
    busAddress = bus_->address();
  }
  const std::string& line = busAddress;
  if (line.empty()) return;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
  connection_ = g_dbus_connection_new_for_address_sync(
      line.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

PrivateKeyring::~PrivateKeyring() {
  if (connection_) g_object_unref(static_cast<GDBusConnection*>(connection_));
  end(keyringPid_);
  bus_.reset();
  if (previousAddress_) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

void PrivateKeyring::end(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGCONT);
  ::kill(pid, SIGTERM);
  if (!reap(pid, std::chrono::seconds(3))) {
    ::kill(pid, SIGKILL);
    reap(pid, std::chrono::seconds(3));
  }
  pid = -1;
}

bool PrivateKeyring::startKeyring(const std::optional<std::string>& password) {
  if (!running() || keyringPid_ > 0) return false;
  std::vector<std::string> arguments = {"gnome-keyring-daemon", "--foreground",
                                        "--components=secrets"};
  int input[2] = {-1, -1};
  if (password) {
    arguments.push_back("--unlock");
    if (::pipe2(input, O_CLOEXEC) != 0) return false;
  }
  keyringPid_ = spawn(arguments, input[0], -1);
  if (password) {
    ::close(input[0]);
    const auto size = static_cast<ssize_t>(password->size());
    const bool written = ::write(input[1], password->data(), password->size()) == size;
    ::close(input[1]);
    if (!written) return false;
  }
  for (const auto deadline = Clock::now() + kStartLimit;
       keyringPid_ > 0 && Clock::now() < deadline;) {
    if (::waitpid(keyringPid_, nullptr, WNOHANG) == keyringPid_) keyringPid_ = -1;
    GVariant* owned =
        call(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"));
    gboolean hasOwner = FALSE;
    if (owned) g_variant_get(owned, "(b)", &hasOwner);
    if (owned) g_variant_unref(owned);
    if (hasOwner && (!password || defaultCollection())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void PrivateKeyring::signalKeyring(int signal) {
  if (keyringPid_ <= 0) return;
  ::kill(keyringPid_, signal);
  if (signal == SIGKILL) {
    reap(keyringPid_, std::chrono::seconds(3));
    keyringPid_ = -1;
  }
}

std::optional<std::string> PrivateKeyring::defaultCollection() {
  GVariant* reply = callSecrets(connection_, "ReadAlias", g_variant_new("(s)", "default"));
  if (!reply) return std::nullopt;
  const gchar* path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  std::optional<std::string> collection;
  if (std::string(path) != "/") collection = path;
  g_variant_unref(reply);
  return collection;
}

bool PrivateKeyring::lockDefaultCollection() {
  const auto collection = defaultCollection();
  const gchar* paths[] = {collection ? collection->c_str() : nullptr, nullptr};
  GVariant* reply =
      collection ? callSecrets(connection_, "Lock", g_variant_new("(^ao)", paths)) : nullptr;
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

std::optional<int> PrivateKeyring::countItems(
    const std::map<std::string, std::string>& attributes) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
  for (const auto& [name, value] : attributes) {
    g_variant_builder_add(&builder, "{ss}", name.c_str(), value.c_str());
  }
  GVariant* reply = callSecrets(connection_, "SearchItems", g_variant_new("(a{ss})", &builder));
  if (!reply) return std::nullopt;
  GVariant* unlocked = g_variant_get_child_value(reply, 0);
  GVariant* locked = g_variant_get_child_value(reply, 1);
  const auto count =
      static_cast<int>(g_variant_n_children(unlocked) + g_variant_n_children(locked));
  g_variant_unref(unlocked);
  g_variant_unref(locked);
  g_variant_unref(reply);
  return count;
}

}  // namespace quorvel::testing
