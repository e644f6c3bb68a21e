// The tests' log sink: every entry kept in memory.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log.hpp"

namespace platform::log {

// Keeps every entry in memory (tests).
class CapturingSink : public Sink {
 public:
  void write(const Entry& entry) override;
  std::vector<Entry> entries() const;
  std::vector<std::string> messages() const;
  // Messages of one category (any level).
  std::vector<std::string> messages(std::string_view category) const;
  bool contains(std::string_view text) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace platform::log
