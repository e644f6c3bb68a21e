// quorvel_face_pairs: recognition accuracy of the unlock road on a labelled pairs file.
//
//   build/tools/face-pairs/quorvel_face_pairs PAIRS.tsv [--images DIR] [--weights FILE]
//                                             [--threads N] [--distances]
//
// Run from the project root: the weights default to the converter's output,
// tools/convert/dlib_face_recognition_resnet_model_v1.dat; the images to the folder
// `images` beside the pairs file.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "face_pairs.hpp"
#include "recognition/native_dlib.hpp"

namespace {

int usage() {
  std::cerr << "usage: quorvel_face_pairs PAIRS.tsv [--images DIR] [--weights FILE] "
               "[--threads N] [--distances]\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pairsPath, images, weights = "tools/convert/dlib_face_recognition_resnet_model_v1.dat";
  int threads = 1;
  bool distances = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--images" && hasValue) {
      images = argv[++i];
    } else if (arg == "--weights" && hasValue) {
      weights = argv[++i];
    } else if (arg == "--threads" && hasValue) {
      try {
        threads = std::stoi(argv[++i]);
      } catch (const std::exception&) {
        threads = 0;
      }
      if (threads < 1 || threads > 64) return usage();
    } else if (arg == "--distances") {
      distances = true;
    } else if (!arg.starts_with("--") && pairsPath.empty()) {
      pairsPath = arg;
    } else {
      return usage();
    }
  }
  if (pairsPath.empty()) return usage();
  if (images.empty()) images = (std::filesystem::path(pairsPath).parent_path() / "images").string();

  std::ifstream in(pairsPath);
  if (!in) {
    std::cerr << "cannot read " << pairsPath << "\n";
    return 1;
  }
  auto parsed = quorvel::face_pairs::parsePairs(in);
  if (const auto* fault = std::get_if<std::string>(&parsed)) {
    std::cerr << pairsPath << ": " << *fault << "\n";
    return 1;
  }
  if (!quorvel::NativeDlib::load(weights)) {
    std::cerr << "cannot load the dlib weights at " << weights
              << " (scripts/make-dlib-weights makes them)\n";
    return 2;
  }
  const auto& pairs = std::get<std::vector<quorvel::face_pairs::Pair>>(parsed);
  const auto report =
      quorvel::face_pairs::measure(pairs, images, quorvel::face_pairs::describePhoto, threads);
  if (distances) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const auto& d = report.distances[i];
      std::cout << pairs[i].same << '\t' << pairs[i].imageA << '\t' << pairs[i].imageB << '\t'
                << (d ? std::to_string(*d) : std::string("none")) << '\t'
                << (pairs[i].reference ? std::to_string(*pairs[i].reference) : std::string("none"))
                << '\n';
    }
  }
  quorvel::face_pairs::print(report, std::cout);
  return 0;
}
