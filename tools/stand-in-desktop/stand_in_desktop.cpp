// The stand-in desktop of the end-to-end tests (tests/support/stand_in_desktop.hpp) for a
// person: it starts the desktop, the shipped program in it (first start: the tutorial) and, when
// x11vnc is installed, a VNC server on this machine only; then it takes commands on standard
// input to lock the session, change what the camera shows and take screenshots. Run it through
// scripts/stand-in-desktop.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/B_helpers.hpp"
#include "support/stand_in_desktop.hpp"

namespace {

using quorvel::testing::ChildProcess;
using quorvel::testing::StandInDesktop;
namespace recordings = quorvel::testing::recordings;

constexpr const char* kHelp =
    "Commands:\n"
    "  lock            the session locks (logind); the program tries the face on camera\n"
    "  unlock          the user unlocks with their password\n"
    "  scan | face | stranger\n"
    "                  the camera shows a head scan (what the tutorial's face step needs), the\n"
    "                  enrolled person's other photos, or someone else\n"
    "  shot FILE.png   a screenshot of the whole screen\n"
    "  run [ARGUMENTS] starts the program again after it quit; with arguments (\"run --check\")\n"
    "                  runs it once beside and prints what it printed\n"
    "  log             the program's log so far\n"
    "  quit            ends the program and the desktop (so does the end of input or Ctrl-C)\n";

// Ctrl-C ends the input, so that everything is ended in order.
void stopReading(int) { ::close(STDIN_FILENO); }

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 1 ? argv[1] : "build/quorvel";
  char pattern[] = "/tmp/quorvel-stand-in-XXXXXX";
  if (!::mkdtemp(pattern)) {
    std::cerr << "no folder for the desktop\n";
    return 1;
  }
  const std::string folder = pattern;
  {
    StandInDesktop desktop({folder, QUORVEL_PAM_WRAPPER, std::filesystem::absolute(program).string()});
    std::cout << "Starting the stand-in desktop in " << folder << " ..." << std::endl;
    if (!desktop.start()) {
      std::cerr << "The stand-in desktop did not start: " << desktop.error() << "\n";
      std::filesystem::remove_all(folder);
      return 1;
    }
    auto people = recordings::johnsByPerson();
    const auto& enrolled = people["John_Salley"];
    std::string error;
    const std::map<std::string, std::pair<std::vector<recordings::Frame>, double>> shows = {
        {"scan", {recordings::headScan(enrolled.at(0), 0.1, &error), 10}},
        {"face", {recordings::matchFrames({enrolled.begin() + 5, enrolled.end()}), 4}},
        {"stranger", {recordings::matchFrames(people["John_Savage"]), 4}},
    };
    if (!desktop.showCamera(shows.at("scan").first, shows.at("scan").second)) {
      std::cerr << "The camera's recordings could not be made: " << error << desktop.error() << "\n";
      std::filesystem::remove_all(folder);
      return 1;
    }
    auto app = desktop.launch();
    std::unique_ptr<ChildProcess> vnc;
    std::string port;
    if (quorvel::testing::runCommand({"sh", "-c", "command -v x11vnc"}) == 0) {
      vnc = ChildProcess::start({"x11vnc", "-display", desktop.display().name(), "-localhost", "-nopw", "-forever",
                                 "-shared", "-quiet", "-noxdamage"},
                                {"LD_PRELOAD="});
      quorvel::testing::eventually([&] {
        const auto at = (port += vnc ? vnc->output() : "").find("PORT=");
        return at != std::string::npos && port.find('\n', at) != std::string::npos;
      }, 20);
      if (const auto at = port.find("PORT="); at != std::string::npos) {
        port = port.substr(at + 5, port.find('\n', at) - at - 5);
      } else {
        port.clear();
      }
    }
    std::cout << "\nQuorvel runs on the stand-in desktop, display " << desktop.display().name()
              << " (a tray at the top right; its log: " << folder << "/quorvel.log).\n"
              << "The camera shows a head scan: the tutorial's face step enrols John Salley from it.\n"
              << "The login password (the tutorial's password step, and PAM): " << StandInDesktop::kLoginPassword
              << "\n";
    if (!port.empty()) {
      std::cout << "Watch and use it with a VNC viewer: localhost:" << port << " (vncviewer localhost::" << port
                << ")\n";
    } else {
      std::cout << "Watch it with screenshots (\"shot FILE.png\"), or install x11vnc to watch it live.\n";
    }
    std::cout << kHelp << std::flush;
    ::signal(SIGINT, stopReading);

    for (std::string line; std::cout << "> " << std::flush, std::getline(std::cin, line);) {
      std::istringstream words(line);
      std::string command, argument;
      words >> command;
      std::getline(words >> std::ws, argument);
      if (command.empty()) continue;
      if (command == "quit") break;
      if (command == "lock" || command == "unlock") {
        const bool done = command == "lock" ? desktop.lock()
                                            : desktop.buses().emitSessionSignal(quorvel::testing::kOwnSession, "Unlock");
        std::cout << (done ? "ok" : "logind did not answer") << "\n";
      } else if (shows.count(command)) {
        const auto& [frames, fps] = shows.at(command);
        std::cout << (desktop.showCamera(frames, fps) ? "ok, from the camera's next start" : desktop.error()) << "\n";
      } else if (command == "shot" && !argument.empty()) {
        std::cout << (quorvel::testing::runCommand({"import", "-window", "root", argument},
                                                   {desktop.display().environment()}) == 0
                          ? "written"
                          : "no screenshot")
                  << "\n";
      } else if (command == "run" && argument.empty()) {
        if (!app || app->wait(0.01)) app = desktop.launch();
        std::cout << "Quorvel runs\n";
      } else if (command == "run") {
        std::vector<std::string> arguments;
        std::istringstream split(argument);
        for (std::string each; split >> each;) arguments.push_back(each);
        auto once = desktop.launch(arguments, "run.log");
        const auto ended = once ? once->wait(120) : std::nullopt;
        std::cout << quorvel::testing::fileText(folder + "/run.log") << "(status "
                  << (ended ? std::to_string(*ended) : "none: still running after 120 s") << ")\n";
        std::filesystem::remove(folder + "/run.log");
      } else if (command == "log") {
        std::cout << quorvel::testing::fileText(folder + "/quorvel.log");
      } else {
        std::cout << kHelp;
      }
      if (app && app->wait(0.01)) {
        std::cout << "Quorvel has ended; \"run\" starts it again, \"quit\" ends the desktop.\n";
        app.reset();
      }
    }
    std::cout << "\nEnding the stand-in desktop." << std::endl;
    app.reset();
    vnc.reset();
  }
  std::filesystem::remove_all(folder);
  return 0;
}
