#include "platform/updater/updater_linux.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include <atomic>

#include "platform/dispatch/dispatch.hpp"
#include "platform/files/files.hpp"
#include "platform/log/log.hpp"
#include "platform/paths/paths.hpp"
#include "platform/updater/appcast.hpp"
#include "platform/updater/update_configuration.hpp"
#include "platform/updater/update_signature.hpp"

namespace platform::updater {
namespace {

struct Outcome {
  std::optional<Error> error;
  std::optional<FoundUpdate> found;
};

Outcome failed(std::int64_t code, std::string description) {
  return Outcome{Error{kErrorDomain, code, std::move(description)}, std::nullopt};
}

BodySink appendTo(std::string& text) {
  return [&text](const char* data, std::size_t size) {
    text.append(data, size);
    return true;
  };
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::int64_t fileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : -1;
}

// One check, from the feed to the verified archive. Blocks for as long as its transfers take.
class Check {
 public:
  Check(const UpdateConfiguration& configuration, const UpdaterLimits& limits, std::string folder,
        bool keepArchive)
      : configuration_(configuration), limits_(limits), folder_(std::move(folder)), keep_(keepArchive) {}

  Outcome run() {
    const std::string& feedURL = configuration_.feedURL;
    std::string feed, signatureText;
    if (auto why = fetch(feedURL, limits_.feed, appendTo(feed))) {
      return failed(kAppcastErrorCode, "The update feed could not be fetched from " + feedURL + ": " + *why + ".");
    }
    const std::string signatureURL = signatureAddress(feedURL);
    if (auto why = fetch(signatureURL, limits_.signature, appendTo(signatureText))) {
      return failed(kAppcastErrorCode,
                    "The update feed's signature could not be fetched from " + signatureURL + ": " + *why + ".");
    }
    const auto signature = decodeSignature(signatureText);
    if (!signature || !verifySignature(configuration_.publicKey, reinterpret_cast<const std::uint8_t*>(feed.data()),
                                       feed.size(), *signature)) {
      return failed(kSignatureErrorCode, "The update feed's signature is not valid.");
    }
    auto parsed = parseAppcast(feed);
    if (const auto* why = std::get_if<std::string>(&parsed)) {
      return failed(kAppcastParseErrorCode, "The update feed could not be read: " + *why + ".");
    }
    const AppcastItem* newest = std::get<Appcast>(parsed).newest();
    const std::string& host = configuration_.hostVersion;
    if (!newest || *parseVersion(newest->version) == *parseVersion(host)) {
      return failed(kNoUpdateErrorCode, "Quorvel " + host + " is currently the newest version available.");
    }
    if (*parseVersion(newest->version) < *parseVersion(host)) {
      return failed(kNoUpdateErrorCode, "Quorvel " + host + " is newer than the newest version in the update feed (" +
                                            newest->version + ").");
    }
    return download(*newest);
  }

 private:
  std::optional<std::string> fetch(const std::string& url, const TransferLimits& limits, const BodySink& sink) {
    return transfer(url, configuration_.trustedCertificatesPEM, limits, sink);
  }

  Outcome download(const AppcastItem& item) {
    const std::string update = "The update to version " + item.version;
    const auto url = resolveAddress(configuration_.feedURL, item.archiveURL);
    if (!url) return failed(kAppcastParseErrorCode, update + " has no https:// archive in the feed.");
    if (item.archiveLength < 0) {
      return failed(kAppcastParseErrorCode, update + " does not give its archive's length in the feed.");
    }
    if (item.archiveLength > limits_.archive.maximumBytes) {
      return failed(kDownloadErrorCode, update + " is larger than " + sizeText(limits_.archive.maximumBytes) + ".");
    }
    const auto signature = decodeSignature(item.archiveSignature);
    if (!signature) return failed(kSignatureErrorCode, update + " carries no valid signature in the feed.");

    FoundUpdate found{item.version, configuration_.hostVersion, item.title, item.releaseNotes, item.releasePage, ""};
    const std::string name = fileNameOf(*url);
    const std::string path = folder_ + "/" + (name.empty() ? "Quorvel-" + item.version + ".update" : name);
    // A verified archive kept by an earlier check is not fetched again.
    if (keep_ && fileSize(path) == item.archiveLength &&
        verifyFileSignature(configuration_.publicKey, path, *signature)) {
      found.archivePath = path;
      return Outcome{std::nullopt, found};
    }
    if (!platform::paths::createFolders(folder_)) {
      return failed(kTemporaryDirectoryErrorCode, "The folder " + folder_ + " could not be made for the update.");
    }
    std::string partial = folder_ + "/.quorvel-update-XXXXXX";
    const int fd = ::mkostemp(partial.data(), O_CLOEXEC);
    if (fd < 0) {
      return failed(kTemporaryDirectoryErrorCode, "The update could not be saved in " + folder_ + ".");
    }
    TransferLimits limits = limits_.archive;
    limits.maximumBytes = item.archiveLength;
    auto why = fetch(*url, limits, [fd](const char* data, std::size_t size) { return writeAll(fd, data, size); });
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    Outcome outcome;
    const std::int64_t size = fileSize(partial);
    if (why) {
      outcome = failed(kDownloadErrorCode, update + " could not be downloaded from " + *url + ": " + *why + ".");
    } else if (!flushed) {
      outcome = failed(kTemporaryDirectoryErrorCode, "The update could not be saved in " + folder_ + ".");
    } else if (size != item.archiveLength) {
      outcome = failed(kDownloadErrorCode, update + " has an archive of " + std::to_string(size) + " bytes, not the " +
                                               std::to_string(item.archiveLength) + " bytes the feed gives.");
    } else if (!verifyFileSignature(configuration_.publicKey, partial, *signature)) {
      outcome = failed(kSignatureErrorCode, "The update archive's signature is not valid.");
    } else if (keep_ && ::rename(partial.c_str(), path.c_str()) != 0) {
      outcome = failed(kTemporaryDirectoryErrorCode, "The update could not be saved as " + path + ".");
    } else {
      if (keep_) {
        found.archivePath = path;
      } else {
        ::unlink(partial.c_str());
      }
      return Outcome{std::nullopt, found};
    }
    ::unlink(partial.c_str());
    return outcome;
  }

  const UpdateConfiguration& configuration_;
  const UpdaterLimits& limits_;
  const std::string folder_;
  const bool keep_;
};

const platform::log::Logger& logger() {
  static const platform::log::Logger log("com.tessmin.quorvel", "app");
  return log;
}

class LinuxUpdater : public Updater, public std::enable_shared_from_this<LinuxUpdater> {
 public:
  LinuxUpdater(std::string hostBundlePath, std::shared_ptr<UserDriver> driver,
               std::weak_ptr<UpdaterDelegate> delegate, UpdaterLimits limits)
      : hostBundlePath_(std::move(hostBundlePath)),
        driver_(std::move(driver)),
        delegate_(std::move(delegate)),
        limits_(limits) {}

  std::optional<Error> start() override {
    if (started_) return std::nullopt;
    auto configuration = readUpdateConfiguration(hostBundlePath_);
    if (const auto* error = std::get_if<Error>(&configuration)) return *error;
    configuration_ = std::get<UpdateConfiguration>(std::move(configuration));
    started_ = true;
    return std::nullopt;
  }
  bool started() const override { return started_; }

  void checkForUpdates() override { begin(UpdateCheck::updates); }
  void checkForUpdateInformation() override { begin(UpdateCheck::updateInformation); }

 private:
  void begin(UpdateCheck kind) {
    if (!started_) return;
    if (checking_.exchange(true)) {
      logger().info("An update check is already running");
      return;
    }
    // The transfers need the application's Qt, which the run loop brings up: the check
    // begins on the main queue.
    platform::dispatch::mainQueue().async([self = shared_from_this(), kind] { self->run(kind); });
  }

  // Main thread.
  void run(UpdateCheck kind) {
    if (!QCoreApplication::instance()) {
      return finish(kind, failed(kAppcastErrorCode, "The update check needs the application's event loop."));
    }
    const auto files = platform::files::current();
    const bool keep = kind == UpdateCheck::updates;
    const std::string folder =
        keep ? files->applicationSupportFolder().value_or(files->temporaryFolder()) + "/" +
                   platform::paths::kApplicationFolder + "/" + kUpdatesFolderName
             : files->temporaryFolder();
    logger().info("Checking for updates at %s", configuration_.feedURL);
    if (!queue_) queue_ = platform::dispatch::makeSerialQueue("com.tessmin.quorvel.updater");
    // The queue's thread never owns the updater: it ends when the updater does, on the thread
    // that lets the updater go, never by itself while the process ends.
    queue_->async([weak = weak_from_this(), configuration = configuration_, limits = limits_, kind, folder, keep] {
      Outcome outcome = Check(configuration, limits, folder, keep).run();
      platform::dispatch::mainQueue().async([weak, kind, outcome] {
        if (auto self = weak.lock()) self->finish(kind, outcome);
      });
    });
  }

  void finish(UpdateCheck kind, const Outcome& outcome) {
    checking_ = false;
    finishUpdateCycle(*this, kind, outcome.error, outcome.found, driver_.get(), delegate_);
  }

  const std::string hostBundlePath_;
  const std::shared_ptr<UserDriver> driver_;
  const std::weak_ptr<UpdaterDelegate> delegate_;
  const UpdaterLimits limits_;
  UpdateConfiguration configuration_;
  std::atomic<bool> started_{false};
  std::atomic<bool> checking_{false};
  std::shared_ptr<platform::dispatch::Queue> queue_;
};

class LinuxUpdateFramework : public UpdateFramework {
 public:
  explicit LinuxUpdateFramework(UpdaterLimits limits) : limits_(limits) {}
  std::shared_ptr<Updater> makeUpdater(const std::string& hostBundlePath, const std::string& /*applicationBundlePath*/,
                                       std::shared_ptr<UserDriver> userDriver,
                                       std::weak_ptr<UpdaterDelegate> delegate) override {
    return std::make_shared<LinuxUpdater>(hostBundlePath, std::move(userDriver), std::move(delegate), limits_);
  }

 private:
  UpdaterLimits limits_;
};

}  // namespace

std::shared_ptr<UpdateFramework> makeLinuxUpdateFramework(UpdaterLimits limits) {
  return std::make_shared<LinuxUpdateFramework>(limits);
}

}  // namespace platform::updater
