// Opening an address with the application the system assigns to it (the shared workspace's
// open call): settings panes, web pages.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::workspace {

class URLOpener {
 public:
  virtual ~URLOpener() = default;
  // Hands `url` to the system; false when nothing could open it.
  virtual bool open(const std::string& url) = 0;
};

std::shared_ptr<URLOpener> urlOpener();
void installURLOpener(std::shared_ptr<URLOpener> opener);

// Records every address; answers as scripted (true by default).
class SimulatedURLOpener : public URLOpener {
 public:
  bool open(const std::string& url) override;
  void setOpens(bool opens);
  std::vector<std::string> opened() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> opened_;
  bool opens_ = true;
};

// Linux: http(s) addresses go to `xdg-open` in the background; other schemes (the settings
// panes of the system this was designed for) have no handler here and answer false.
std::shared_ptr<URLOpener> makeLinuxURLOpener();

}  // namespace platform::workspace
