// Opening an address with the application the system assigns to it (the shared workspace's
// open call): settings panes, web pages.
#pragma once

#include <memory>
#include <string>

namespace platform::workspace {

class URLOpener {
 public:
  virtual ~URLOpener() = default;
  // Hands `url` to the system; false when nothing could open it.
  virtual bool open(const std::string& url) = 0;
};

std::shared_ptr<URLOpener> urlOpener();
void installURLOpener(std::shared_ptr<URLOpener> opener);

}  // namespace platform::workspace
