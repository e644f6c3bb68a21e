// The executable's entry: a diagnostic switch or the menu-bar application.
#include <iostream>
#include <string>
#include <vector>

#include "app/entry.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  const int status = quorvel::runEntry(args, std::cout);
  std::cout.flush();
  return status;
}
