// Opening at login on Linux: the XDG autostart entry, its states, its atomic replacement, its
// failures and its validity for desktop-file-validate.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "platform/loginitems/login_items_linux.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using platform::loginitems::AutostartService;
using platform::loginitems::Status;
using quorvel::testing::fileText;

// desktop-file-validate's output followed by its exit status: "0" for a valid file.
std::string validate(const std::string& path) {
  std::string output;
  FILE* pipe = ::popen(("desktop-file-validate '" + path + "' 2>&1").c_str(), "r");
  for (char buffer[256]; pipe && std::fgets(buffer, sizeof buffer, pipe);) output += buffer;
  return output + std::to_string(pipe ? ::pclose(pipe) : -1);
}

// The program the entry at `path` starts.
std::optional<std::string> programIn(const std::string& path) {
  const std::string text = fileText(path);
  const auto exec = text.find("\nExec=") + 6;
  return AutostartService::programOf(text.substr(exec, text.find('\n', exec) - exec));
}

class AutostartTest : public quorvel::testing::PlatformTest {
 protected:
  std::string entry() const { return home() + "/config/autostart/com.tessmin.quorvel.desktop"; }
  void writeEntry(const std::string& text) {
    fs::create_directories(home() + "/config/autostart");
    std::ofstream(entry()) << text;
  }
  const std::string running = fs::read_symlink("/proc/self/exe").string();
};

TEST_F(AutostartTest,
       RegisteringWritesAValidEntryForTheRunningExecutableAndUnregisteringRemovesIt) {
  AutostartService service;
  EXPECT_EQ(service.status(), Status::notRegistered);
  EXPECT_FALSE(service.unregisterApp().has_value()) << "nothing to remove is no error";

  ASSERT_FALSE(service.registerApp().has_value());
  EXPECT_EQ(AutostartService::entryPath(), entry());
  EXPECT_EQ(service.status(), Status::enabled);
  const std::string text = fileText(entry());
  EXPECT_NE(text.find("\nVersion=1.0\n"), std::string::npos);
  EXPECT_EQ(programIn(entry()), running);
  EXPECT_EQ(validate(entry()), "0");
  EXPECT_EQ(std::distance(fs::directory_iterator(home() + "/config/autostart"), {}), 1);

  // Replaced by a rename: a reader of the old entry still reads it whole.
  const int old = ::open(entry().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_FALSE(AutostartService("/opt/new/quorvel").registerApp().has_value());
  char buffer[4096];
  const auto length = ::read(old, buffer, sizeof buffer);
  ::close(old);
  EXPECT_EQ(std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0), text);

  ASSERT_FALSE(service.unregisterApp().has_value());
  EXPECT_FALSE(fs::exists(entry()));
  EXPECT_EQ(service.status(), Status::notRegistered);
}

TEST_F(AutostartTest, ExecQuotesAnyPathSoThatItValidatesAndReadsBack) {
  for (const std::string path :
       {"/opt/My Apps/quorvel", "/opt/a\"b`c$d\\e%f'g/quorvel", "/opt/tab\there/quorvel"}) {
    writeEntry(AutostartService::entryText(path));
    EXPECT_EQ(validate(entry()), "0") << path;
    EXPECT_EQ(programIn(entry()), path);
  }
  EXPECT_EQ(AutostartService::programOf("sh -c %U"), "sh");
  EXPECT_EQ(AutostartService::programOf("\"/opt/unterminated"), std::nullopt);
}

TEST_F(AutostartTest, TheEntryOnDiskGivesTheStateAndRegisteringRepairsIt) {
  const std::string head = "[Desktop Entry]\nType=Application\nName=Q\n";
  const std::vector<std::tuple<const char*, std::string, Status>> states = {
      {"ours", AutostartService::entryText("/bin/sh"), Status::enabled},
      {"program on the path", head + "Exec=sh -c true\n", Status::enabled},
      {"hidden by the desktop", head + "Exec=sh\nHidden=true\n", Status::requiresApproval},
      {"switched off in GNOME", head + "Exec=sh\nX-GNOME-Autostart-enabled=false\n",
       Status::requiresApproval},
      {"program gone", head + "Exec=/nonexistent/quorvel\n", Status::notFound},
      {"not an application", "[Desktop Entry]\nType=Link\nName=Q\nURL=file:///\n",
       Status::notFound},
      {"no entry group", "Exec=/bin/sh\n", Status::notFound}};
  for (const auto& [name, text, expected] : states) {
    SCOPED_TRACE(name);
    writeEntry(text);
    AutostartService service;
    EXPECT_EQ(service.status(), expected);
    ASSERT_FALSE(service.registerApp().has_value());
    EXPECT_EQ(service.status(), Status::enabled);
    EXPECT_EQ(fileText(entry()), AutostartService::entryText(running));
  }
}

TEST_F(AutostartTest, FailuresNameTheFileAndTheReason) {
  const auto failure = [](const char* verb, const char* reason) {
    return std::string("The file \u201ccom.tessmin.quorvel.desktop\u201d couldn\u2019t be ") +
           verb + ": " + reason + ".";
  };
  fs::create_directories(entry() + "/inside");  // an entry that is a folder
  AutostartService service;
  EXPECT_EQ(service.status(), Status::notFound);
  EXPECT_EQ(service.registerApp().value().localizedDescription, failure("saved", "Is a directory"));
  EXPECT_EQ(service.unregisterApp().value().localizedDescription,
            failure("removed", "Is a directory"));

  std::ofstream(home() + "/file") << "x";  // a configuration folder that is a file
  ::setenv("XDG_CONFIG_HOME", (home() + "/file").c_str(), 1);
  EXPECT_EQ(service.registerApp().value().localizedDescription,
            failure("saved", "Not a directory"));
}

}  // namespace
