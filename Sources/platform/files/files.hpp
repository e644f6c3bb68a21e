// Files of the application: the Application Support folder (the XDG data home), the
// temporary folder, whole-file reads and an atomic write that never leaves a half-written
// file in place.
//
// `current()` is the installed file system, else the linux one. Tests install a
// `SimulatedFileSystem`: the same real files (inside the test's private home) with
// scriptable faults, among them a crash between writing the temporary file and renaming it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::files {

using Bytes = std::vector<std::uint8_t>;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The user's Application Support folder ($XDG_DATA_HOME, else ~/.local/share).
  virtual std::optional<std::string> applicationSupportFolder() = 0;
  // $TMPDIR, else /tmp.
  virtual std::string temporaryFolder() = 0;
  // Creates the folder and its missing parents (mode 0700); true when it is a folder.
  virtual bool createFolders(const std::string& path) = 0;
  // False only when the file is known not to exist.
  virtual bool fileExists(const std::string& path) = 0;
  // The whole file, or no value on any error (a missing file included).
  virtual std::optional<Bytes> readFile(const std::string& path) = 0;
  // Writes `data` to a new temporary file in the same folder (mode 0600), flushes it to the
  // disk and renames it over `path`. On failure `path` is unchanged.
  virtual bool writeAtomically(const std::string& path, const Bytes& data) = 0;
  // Deletes a file; false when it could not be deleted (a missing file included).
  virtual bool removeFile(const std::string& path) = 0;
};

std::shared_ptr<FileSystem> current();
void install(std::shared_ptr<FileSystem> fileSystem);

// The real operations (used by the linux file system and by other platform areas that
// keep files of their own).
bool writeFileAtomically(const std::string& path, const Bytes& data);
std::optional<Bytes> readWholeFile(const std::string& path);
// Writes the temporary file beside `path` completely and flushes it (the first half of an
// atomic write); its path, or no value.
std::optional<std::string> writeTemporary(const std::string& path, const Bytes& data);

// Writes `data` to `path` in place, replacing an existing file (not atomic). No value on
// success; otherwise the failure described for a person, naming the file and the reason
// ("The file “out.png” couldn’t be saved: No such file or directory.").
std::optional<std::string> writeFile(const std::string& path, const Bytes& data);

}  // namespace platform::files
