#include "platform/keychain/secret_service_keychain.hpp"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::keychain {
namespace {

const SecretSchema kSchema = {
    "com.tessmin.quorvel.GenericPassword",
    SECRET_SCHEMA_NONE,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"accessible", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
};
constexpr const char* kContentType = "application/octet-stream";

struct ObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
template <class T>
using Ref = std::unique_ptr<T, ObjectUnref>;

struct ValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using Value = std::unique_ptr<SecretValue, ValueUnref>;

struct ErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

// String attributes for a search or a new item; the values must outlive the table.
class Attributes {
 public:
  Attributes() : table_(g_hash_table_new(g_str_hash, g_str_equal)) {}
  ~Attributes() { g_hash_table_unref(table_); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  void set(const char* name, const std::string& value) {
    g_hash_table_replace(table_, const_cast<char*>(name), const_cast<char*>(value.c_str()));
  }
  GHashTable* table() const { return table_; }

 private:
  GHashTable* table_;
};

// D-Bus strings must be UTF-8; other names cannot be stored.
bool validNames(const std::string& service, const std::string& account) {
  return g_utf8_validate(service.data(), static_cast<gssize>(service.size()), nullptr) &&
         g_utf8_validate(account.data(), static_cast<gssize>(account.size()), nullptr) &&
         service.find('\0') == std::string::npos && account.find('\0') == std::string::npos;
}

OSStatus statusFor(const GError* error, GCancellable* cancellable) {
  if (g_cancellable_is_cancelled(cancellable)) return errSecNotAvailable;  // our time-out
  if (error->domain == SECRET_ERROR) {
    switch (error->code) {
      case SECRET_ERROR_IS_LOCKED:
        return errSecInteractionNotAllowed;
      case SECRET_ERROR_NO_SUCH_OBJECT:
        return errSecItemNotFound;
      case SECRET_ERROR_ALREADY_EXISTS:
        return errSecDuplicateItem;
      default:
        return errSecIO;
    }
  }
  if (error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_CANCELLED:  // a prompt of the service that was dismissed
        return errSecUserCanceled;
      case G_IO_ERROR_NOT_FOUND:
      case G_IO_ERROR_CONNECTION_REFUSED:
      case G_IO_ERROR_CLOSED:
      case G_IO_ERROR_CONNECTION_CLOSED:
      case G_IO_ERROR_TIMED_OUT:
        return errSecNotAvailable;
      default:
        return errSecIO;
    }
  }
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_ACCESS_DENIED:
      case G_DBUS_ERROR_AUTH_FAILED:
        return errSecAuthFailed;
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
      case G_DBUS_ERROR_DISCONNECTED:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_UNKNOWN_OBJECT:
        return errSecNotAvailable;
      default:
        return errSecIO;
    }
  }
  return errSecIO;
}

// Errors about the item itself; every other error drops the connection.
bool aboutTheItem(const GError* error) {
  return error->domain == SECRET_ERROR &&
         (error->code == SECRET_ERROR_IS_LOCKED || error->code == SECRET_ERROR_NO_SUCH_OBJECT ||
          error->code == SECRET_ERROR_ALREADY_EXISTS);
}

// Whether a session bus can be reached without launching one: an address in the
// environment, or the user's bus socket in $XDG_RUNTIME_DIR. (Without either, GLib would try
// to autolaunch a bus that outlives the process.)
bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return true;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || runtime[0] != '/') return false;
  struct stat info {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

using Availability = SecretServiceKeychain::Availability;

// Owns the thread on which every libsecret call runs, with a main context of its own so that
// the service proxy's signals (its name owner going away) are handled there too.
class SecretServiceWorker {
 public:
  using Worker = SecretServiceWorker;

  // What a call answers; `availability` tells whether the service could be reached.
  struct Answer {
    CopyResult result;
    Availability availability = Availability::unknown;
  };
  // Runs on the worker thread, possibly after its caller gave up waiting: it owns everything
  // it uses.
  using Work = std::function<Answer(Worker&, GCancellable*)>;

  explicit SecretServiceWorker(SecretServiceKeychain::Options options)
      : timeout_(options.timeout), context_(g_main_context_new()) {
    thread_ = std::thread([this] { loop(); });
  }

  ~SecretServiceWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      if (running_) g_cancellable_cancel(running_);
    }
    g_main_context_wakeup(context_);
    thread_.join();
    g_main_context_unref(context_);  // drops jobs that never ran
  }

  // Runs `work` on the worker thread and waits for it at most the time-out.
  Answer run(Work work) {
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return Answer{{errSecNotAvailable, std::nullopt}};
    }
    g_main_context_invoke_full(context_, G_PRIORITY_DEFAULT, &Worker::dispatch,
                               new Pending{this, job}, &Worker::release);
    std::unique_lock<std::mutex> lock(job->mutex);
    if (!job->done.wait_for(lock, timeout_.load(), [&] { return job->finished; })) {
      lock.unlock();
      g_cancellable_cancel(job->cancellable);
      return Answer{{errSecNotAvailable, std::nullopt}};
    }
    return std::move(job->result);
  }

  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

  // --- worker thread only ---

  // The connected service, connecting when there is none or its owner changed.
  SecretService* service(GCancellable* cancellable, OSStatus& status, Availability& availability) {
    if (service_) {
      gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service_));
      const bool same = owner && owner_ == owner;
      g_free(owner);
      if (same && !g_dbus_connection_is_closed(bus_)) {
        availability = Availability::available;
        return service_;
      }
      drop();
    }
    if (!sessionBusConfigured()) {
      status = errSecNotAvailable;
      availability = Availability::absent;
      return nullptr;
    }
    GError* raw = nullptr;
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &raw);
    if (!bus_) {
      const Error error(raw);
      status = statusFor(error.get(), cancellable);
      const bool noBus =
          error->domain == G_IO_ERROR &&
          (error->code == G_IO_ERROR_NOT_FOUND || error->code == G_IO_ERROR_CONNECTION_REFUSED);
      availability = noBus && !g_cancellable_is_cancelled(cancellable) ? Availability::absent
                                                                       : Availability::unknown;
      return nullptr;
    }
    // The shared session connection would end the process when the bus goes away.
    g_dbus_connection_set_exit_on_close(bus_, FALSE);
    service_ = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION,
                                        cancellable, &raw);
    if (!service_) {
      const Error error(raw);
      status = statusFor(error.get(), cancellable);
      const bool noService =
          error->domain == G_DBUS_ERROR && (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
                                            error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER);
      availability = noService && !g_cancellable_is_cancelled(cancellable) ? Availability::absent
                                                                           : Availability::unknown;
      drop();
      return nullptr;
    }
    gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service_));
    owner_ = owner ? owner : "";
    g_free(owner);
    availability = Availability::available;
    return service_;
  }

  // The status of a failed call; drops the connection unless the error is about the item.
  OSStatus failure(GError* raw, GCancellable* cancellable) {
    const Error error(raw);
    if (!aboutTheItem(error.get())) drop();
    return statusFor(error.get(), cancellable);
  }

 private:
  struct Job {
    Work work;
    GCancellable* cancellable = g_cancellable_new();
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Answer result;
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job() { g_object_unref(cancellable); }
  };
  struct Pending {
    Worker* worker;
    std::shared_ptr<Job> job;
  };

  static gboolean dispatch(gpointer data) {
    auto* pending = static_cast<Pending*>(data);
    Worker& worker = *pending->worker;
    Job& job = *pending->job;
    {
      std::lock_guard<std::mutex> lock(worker.mutex_);
      worker.running_ = job.cancellable;
      if (worker.stopping_) g_cancellable_cancel(job.cancellable);
    }
    Answer result = g_cancellable_is_cancelled(job.cancellable)
                        ? Answer{{errSecNotAvailable, std::nullopt}}
                        : job.work(worker, job.cancellable);
    {
      std::lock_guard<std::mutex> lock(worker.mutex_);
      worker.running_ = nullptr;
    }
    {
      std::lock_guard<std::mutex> lock(job.mutex);
      job.result = std::move(result);
      job.finished = true;
    }
    job.done.notify_all();
    return G_SOURCE_REMOVE;
  }
  static void release(gpointer data) { delete static_cast<Pending*>(data); }

  void loop() {
    g_main_context_push_thread_default(context_);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) break;
      }
      g_main_context_iteration(context_, TRUE);
    }
    drop();
    // Dropping the proxy unsubscribes its signals; GLib frees their data from this context.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
  }

  void drop() {
    if (service_) g_object_unref(service_);
    service_ = nullptr;
    if (bus_) g_object_unref(bus_);
    bus_ = nullptr;
    owner_.clear();
  }

  std::atomic<std::chrono::milliseconds> timeout_;
  GMainContext* const context_;
  std::thread thread_;
  std::mutex mutex_;
  bool stopping_ = false;             // guarded by mutex_
  GCancellable* running_ = nullptr;   // guarded by mutex_
  SecretService* service_ = nullptr;  // worker thread only
  GDBusConnection* bus_ = nullptr;    // worker thread only
  std::string owner_;                 // worker thread only
};

namespace {

using Worker = SecretServiceWorker;

// The matching items of our schema: the unlocked ones, and whether any is locked.
struct Matches {
  std::vector<Ref<SecretItem>> unlocked;
  bool locked = false;
};

OSStatus find(Worker& worker, SecretService* service, const std::string& serviceName,
              const std::string& account, bool withSecrets, GCancellable* cancellable,
              Matches& matches) {
  Attributes attributes;
  attributes.set("service", serviceName);
  attributes.set("account", account);
  const auto flags = static_cast<SecretSearchFlags>(
      SECRET_SEARCH_ALL | (withSecrets ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE));
  GError* error = nullptr;
  GList* items =
      secret_service_search_sync(service, &kSchema, attributes.table(), flags, cancellable, &error);
  if (error) return worker.failure(error, cancellable);
  for (GList* entry = items; entry; entry = entry->next) {
    Ref<SecretItem> item(SECRET_ITEM(entry->data));
    if (secret_item_get_locked(item.get())) {
      matches.locked = true;
    } else {
      matches.unlocked.push_back(std::move(item));
    }
  }
  g_list_free(items);
  return errSecSuccess;
}

Value valueOf(const Bytes& bytes) {
  static const char empty = 0;
  const char* data = bytes.empty() ? &empty : reinterpret_cast<const char*>(bytes.data());
  return Value(secret_value_new(data, static_cast<gssize>(bytes.size()), kContentType));
}

using Answer = Worker::Answer;

Answer statusOnly(OSStatus status) { return Answer{{status, std::nullopt}}; }

// Connects, finds the matching items (with their secrets when asked) and hands them to
// `act`; answers the failure of any step before it.
template <class Act>
Worker::Work withMatches(std::string serviceName, std::string account, bool withSecrets, Act act) {
  return [serviceName = std::move(serviceName), account = std::move(account), withSecrets,
          act = std::move(act)](Worker& worker, GCancellable* cancellable) {
    OSStatus status = errSecSuccess;
    Availability availability = Availability::unknown;
    SecretService* secrets = worker.service(cancellable, status, availability);
    if (!secrets) return Answer{{status, std::nullopt}, availability};
    Matches matches;
    status = find(worker, secrets, serviceName, account, withSecrets, cancellable, matches);
    if (status != errSecSuccess) return statusOnly(status);
    return act(worker, secrets, matches, cancellable);
  };
}

// The status for items that cannot be acted on: locked ones exist, or none.
Answer noUnlockedItem(const Matches& matches) {
  return statusOnly(matches.locked ? errSecInteractionNotAllowed : errSecItemNotFound);
}

}  // namespace

SecretServiceKeychain::SecretServiceKeychain() : SecretServiceKeychain(Options{}) {}

SecretServiceKeychain::SecretServiceKeychain(Options options)
    : worker_(std::make_unique<Worker>(options)) {}

SecretServiceKeychain::~SecretServiceKeychain() = default;

SecretServiceKeychain::Availability SecretServiceKeychain::probe(OSStatus* status) {
  const Answer answer = worker_->run([](Worker& worker, GCancellable* cancellable) {
    OSStatus failed = errSecSuccess;
    Availability availability = Availability::unknown;
    worker.service(cancellable, failed, availability);
    return Answer{{failed, std::nullopt}, availability};
  });
  if (status) *status = answer.result.status;
  return answer.availability;
}

void SecretServiceKeychain::setTimeout(std::chrono::milliseconds timeout) {
  worker_->setTimeout(timeout);
}

OSStatus SecretServiceKeychain::add(const std::string& service, const std::string& account,
                                    const Bytes& value, Accessibility accessibility) {
  if (!validNames(service, account)) return errSecParam;
  auto act = [service, account, value, accessible = std::string(attributeValue(accessibility))](
                 Worker& worker, SecretService* secrets, const Matches& matches,
                 GCancellable* cancellable) {
    if (!matches.unlocked.empty()) return statusOnly(errSecDuplicateItem);
    if (matches.locked) return statusOnly(errSecInteractionNotAllowed);
    GError* error = nullptr;
    Ref<SecretCollection> collection(secret_collection_for_alias_sync(
        secrets, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, &error));
    if (error) return statusOnly(worker.failure(error, cancellable));
    if (!collection) return statusOnly(errSecNoDefaultKeychain);
    if (secret_collection_get_locked(collection.get())) {
      return statusOnly(errSecInteractionNotAllowed);
    }
    Attributes attributes;
    attributes.set("service", service);
    attributes.set("account", account);
    attributes.set("accessible", accessible);
    const std::string label = service + ": " + account;
    const Value secret = valueOf(value);
    const Ref<SecretItem> item(
        secret_item_create_sync(collection.get(), &kSchema, attributes.table(), label.c_str(),
                                secret.get(), SECRET_ITEM_CREATE_NONE, cancellable, &error));
    if (error) return statusOnly(worker.failure(error, cancellable));
    return statusOnly(errSecSuccess);
  };
  return worker_->run(withMatches(service, account, false, std::move(act))).result.status;
}

OSStatus SecretServiceKeychain::update(const std::string& service, const std::string& account,
                                       const Bytes& value) {
  if (!validNames(service, account)) return errSecParam;
  auto act = [value](Worker& worker, SecretService*, const Matches& matches,
                     GCancellable* cancellable) {
    if (matches.unlocked.empty()) return noUnlockedItem(matches);
    const Value secret = valueOf(value);
    for (const auto& item : matches.unlocked) {
      GError* error = nullptr;
      if (!secret_item_set_secret_sync(item.get(), secret.get(), cancellable, &error)) {
        return statusOnly(worker.failure(error, cancellable));
      }
    }
    return statusOnly(errSecSuccess);
  };
  return worker_->run(withMatches(service, account, false, std::move(act))).result.status;
}

CopyResult SecretServiceKeychain::copyMatching(const std::string& service,
                                               const std::string& account) {
  if (!validNames(service, account)) return CopyResult{errSecItemNotFound, std::nullopt};
  auto act = [](Worker&, SecretService*, const Matches& matches, GCancellable*) {
    if (matches.unlocked.empty()) return noUnlockedItem(matches);
    const Value secret(secret_item_get_secret(matches.unlocked.front().get()));
    if (!secret) return statusOnly(errSecSuccess);  // success without a value
    gsize length = 0;
    const auto* data =
        reinterpret_cast<const std::uint8_t*>(secret_value_get(secret.get(), &length));
    return Answer{{errSecSuccess, Bytes(data, data + length)}, Availability::available};
  };
  return worker_->run(withMatches(service, account, true, std::move(act))).result;
}

OSStatus SecretServiceKeychain::remove(const std::string& service, const std::string& account) {
  if (!validNames(service, account)) return errSecItemNotFound;
  auto act = [](Worker& worker, SecretService*, const Matches& matches, GCancellable* cancellable) {
    if (matches.unlocked.empty()) return noUnlockedItem(matches);
    for (const auto& item : matches.unlocked) {
      GError* error = nullptr;
      if (!secret_item_delete_sync(item.get(), cancellable, &error)) {
        return statusOnly(worker.failure(error, cancellable));
      }
    }
    return statusOnly(errSecSuccess);
  };
  return worker_->run(withMatches(service, account, false, std::move(act))).result.status;
}

}  // namespace platform::keychain
