// Runs fuzz targets' functions on files, outside libFuzzer: `quorvel_fuzz_replay <target>
// <file or folder>...` feeds every file to the target, as the fuzzer would. The tests replay
// each target's seeds and every input that once made it fail (fuzz/regressions/<target>/).
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#define QUORVEL_FUZZ_TARGET(name) extern "C" int quorvel_fuzz_##name(const std::uint8_t*, std::size_t);
#include "fuzz_targets.inc"
#undef QUORVEL_FUZZ_TARGET

namespace {

struct Target {
  const char* name;
  int (*run)(const std::uint8_t*, std::size_t);
};

const Target kTargets[] = {
#define QUORVEL_FUZZ_TARGET(name) {#name, quorvel_fuzz_##name},
#include "fuzz_targets.inc"
#undef QUORVEL_FUZZ_TARGET
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: quorvel_fuzz_replay <target> <file or folder>...\n";
    return 2;
  }
  const auto target = std::find_if(std::begin(kTargets), std::end(kTargets),
                                   [&](const Target& t) { return std::string(t.name) == argv[1]; });
  if (target == std::end(kTargets)) {
    std::cerr << "no fuzz target " << argv[1] << "\n";
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (int i = 2; i < argc; ++i) {
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else if (std::filesystem::exists(argv[i])) {
      files.push_back(argv[i]);
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream stream(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    target->run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::cout << target->name << ": " << files.size() << " input(s) replayed\n";
  return files.empty() ? 1 : 0;
}
