// The executable's entry. The diagnostic switches and the menu-bar application are started
// from here.
#include <cstdio>

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::puts("Quorvel: the application shell is not built yet.");
  return 0;
}
