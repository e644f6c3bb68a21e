// The executable's entry: a diagnostic switch or the menu-bar application.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/entry.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  const int status = quorvel::runEntry(args, std::cout);
  std::cout.flush();
  std::fflush(nullptr);
  // The process ends here without tearing down the libraries' static state (OpenCV's, BLAS's,
  // the C library's) under work its queues may still be running: a camera frame in the middle
  // of the face models, a bus call. Nothing is lost: every store writes when it changes.
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  std::_Exit(status);
}
