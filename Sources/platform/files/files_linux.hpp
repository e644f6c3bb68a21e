// The application's files on Linux.
#pragma once

#include "platform/files/files.hpp"

namespace platform::files {

class LinuxFileSystem : public FileSystem {
 public:
  std::optional<std::string> applicationSupportFolder() override;
  std::string temporaryFolder() override;
  bool createFolders(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  std::optional<Bytes> readFile(const std::string& path) override;
  bool writeAtomically(const std::string& path, const Bytes& data) override;
  bool removeFile(const std::string& path) override;
};

}  // namespace platform::files
