// Measures the liveness model on camera frames as a laptop camera frames a face, and on flat
// and uniform frames, through the unlock attempt's own road: the frame's wide square, the
// 128 x 128 unit-normalised tensor, the model host's liveness.
//
// Real faces: every face found in each photo (JPEG or PNG, searched recursively) gets a frame
// of its own: the photo scaled so that the face box is 250 px wide, placed in a 1280 x 720
// frame with the face a little above the middle. Where the photo does not cover the frame,
// the frame is filled from the photo itself (its edges carried outwards and smoothed more the
// farther they reach, or the whole photo enlarged and blurred), so the face sits on its own
// background, not on a flat fill. Flat frames: grey levels from black to white, colours,
// noise, dark sensor noise and gradients, all 1280 x 720.
//
//   measure_liveness [--package DIR]... [--photos DIR[:EVERY]]... [--fill edge|cover]
//                    [--face-width PX] [--centre X,Y] [--list] [--save DIR] [--each-network]
//
// --package   a liveness model folder (manifest and network) to measure; may be repeated; by
//             default the MiniFAS package of the bundle beside this executable
// --each-network  also measure each network of a several-network package alone, with its own
//             adaptation from the manifest
// --photos    a folder of face photos; with :EVERY only every EVERY-th photo (sorted by path);
//             by default dlib's examples/johns (55 portraits)
// --fill      how the frame around the photo is filled (default edge)
// --face-width the face box width to scale to (default 250)
// --centre    where the face's centre lands, in fractions of the frame (default 0.5,0.45)
// --list      print every frame's liveness per package
// --save      write every frame measured into DIR as PNG, to look at
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "platform/bundle/bundle.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/vision/face_landmarks.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/match_engine.hpp"

namespace {

namespace fs = std::filesystem;
using platform::image::BaseAddressLock;
using platform::image::LockFlags;
using platform::image::PixelBuffer;
using Frame = std::shared_ptr<PixelBuffer>;

constexpr int kWidth = 1280, kHeight = 720;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "measure_liveness: %s\n", what.c_str());
  std::exit(2);
}

// A plain RGB image of floats, row 0 at the top.
struct Picture {
  int width = 0, height = 0;
  std::vector<float> rgb;  // 3 per pixel
  float* at(int x, int y) { return &rgb[3 * (static_cast<std::size_t>(y) * width + x)]; }
  const float* at(int x, int y) const {
    return &rgb[3 * (static_cast<std::size_t>(y) * width + x)];
  }
};

Picture pictureOf(PixelBuffer& buffer) {
  BaseAddressLock lock(buffer, LockFlags::readOnly);
  if (!lock.ok()) fail("a photo cannot be read");
  Picture picture{buffer.width(), buffer.height(), {}};
  picture.rgb.resize(3 * static_cast<std::size_t>(picture.width) * picture.height);
  for (int y = 0; y < picture.height; ++y) {
    const std::uint8_t* row = buffer.baseAddress() + y * buffer.bytesPerRow();
    for (int x = 0; x < picture.width; ++x) {
      float* p = picture.at(x, y);
      p[0] = row[4 * x + 2];
      p[1] = row[4 * x + 1];
      p[2] = row[4 * x];
    }
  }
  return picture;
}

Frame frameOf(const Picture& picture) {
  Frame frame = PixelBuffer::create(picture.width, picture.height);
  if (!frame) fail("no frame buffer");
  BaseAddressLock lock(*frame, LockFlags::readWrite);
  for (int y = 0; y < picture.height; ++y) {
    std::uint8_t* row = frame->mutableBaseAddress() + y * frame->bytesPerRow();
    for (int x = 0; x < picture.width; ++x) {
      const float* p = picture.at(x, y);
      const auto byte = [](float v) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      };
      row[4 * x] = byte(p[2]);
      row[4 * x + 1] = byte(p[1]);
      row[4 * x + 2] = byte(p[0]);
      row[4 * x + 3] = 255;
    }
  }
  return frame;
}

// A box blur of radius r, three passes (close to a Gaussian of sigma ~ r).
void blur(Picture& picture, int r) {
  std::vector<float> line;
  const auto pass = [&](int count, int length, auto index) {
    for (int i = 0; i < count; ++i) {
      line.assign(3 * static_cast<std::size_t>(length), 0);
      for (int c = 0; c < 3; ++c) {
        double sum = 0;
        const auto value = [&](int k) { return picture.rgb[index(i, std::clamp(k, 0, length - 1)) + c]; };
        for (int k = -r; k <= r; ++k) sum += value(k);
        for (int k = 0; k < length; ++k) {
          line[3 * k + c] = static_cast<float>(sum / (2 * r + 1));
          sum += value(k + r + 1) - value(k - r);
        }
      }
      for (int k = 0; k < length; ++k) {
        for (int c = 0; c < 3; ++c) picture.rgb[index(i, k) + c] = line[3 * k + c];
      }
    }
  };
  for (int round = 0; round < 3; ++round) {
    pass(picture.height, picture.width,
         [&](int y, int x) { return 3 * (static_cast<std::size_t>(y) * picture.width + x); });
    pass(picture.width, picture.height,
         [&](int x, int y) { return 3 * (static_cast<std::size_t>(y) * picture.width + x); });
  }
}

enum class Fill { edge, cover };

// `photo` scaled by `scale` with its point (fx, fy) (pixels, top-left origin) at (cx, cy) of
// a laptop frame, the rest of the frame filled from the photo.
Frame laptopFrame(const Picture& photo, double scale, double fx, double fy, double cx, double cy,
                  Fill fill) {
  Picture frame{kWidth, kHeight, std::vector<float>(3 * static_cast<std::size_t>(kWidth) * kHeight)};
  // How far each frame pixel lies inside (> 0) or outside (< 0) the placed photo, in frame pixels.
  std::vector<float> inside(static_cast<std::size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      // The photo's continuous coordinates (pixel centres at + 0.5), edges carried outwards.
      const double u = fx + (x + 0.5 - cx) / scale, v = fy + (y + 0.5 - cy) / scale;
      const double du = std::max({0.0, -u, u - photo.width}), dv = std::max({0.0, -v, v - photo.height});
      inside[static_cast<std::size_t>(y) * kWidth + x] = static_cast<float>(
          du > 0 || dv > 0 ? -std::hypot(du, dv) * scale
                           : std::min({u, photo.width - u, v, photo.height - v}) * scale);
      const double sx = std::clamp(u - 0.5, 0.0, photo.width - 1.0);
      const double sy = std::clamp(v - 0.5, 0.0, photo.height - 1.0);
      const int x0 = static_cast<int>(sx), y0 = static_cast<int>(sy);
      const int x1 = std::min(x0 + 1, photo.width - 1), y1 = std::min(y0 + 1, photo.height - 1);
      const double ax = sx - x0, ay = sy - y0;
      float* out = frame.at(x, y);
      for (int c = 0; c < 3; ++c) {
        out[c] = static_cast<float>((1 - ay) * ((1 - ax) * photo.at(x0, y0)[c] + ax * photo.at(x1, y0)[c]) +
                                    ay * ((1 - ax) * photo.at(x0, y1)[c] + ax * photo.at(x1, y1)[c]));
      }
    }
  }
  // The background behind the photo: its carried edges smoothed more the farther they reach
  // (an out-of-focus continuation), or the whole photo enlarged to cover the frame and blurred.
  Picture near = frame, far{kWidth, kHeight, std::vector<float>(frame.rgb.size())};
  if (fill == Fill::edge) {
    blur(near, 16);
    far = near;
    blur(far, 64);
  } else {
    const double cover = std::max(double(kWidth) / photo.width, double(kHeight) / photo.height);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const double u = (x + 0.5 - kWidth / 2.0) / cover + photo.width / 2.0 - 0.5;
        const double v = (y + 0.5 - kHeight / 2.0) / cover + photo.height / 2.0 - 0.5;
        const float* p = photo.at(static_cast<int>(std::clamp(std::lround(u), 0L, photo.width - 1L)),
                                  static_cast<int>(std::clamp(std::lround(v), 0L, photo.height - 1L)));
        std::copy(p, p + 3, far.at(x, y));
      }
    }
    blur(far, 30);
    near = far;
  }
  for (std::size_t i = 0; i < inside.size(); ++i) {
    // Inside the photo but for a 16-pixel seam: the photo; then the near background for 160
    // pixels, fading into the far one.
    const float d = inside[i];
    const float toNear = std::clamp((16 - d) / 32, 0.0f, 1.0f), toFar = std::clamp(-d / 160, 0.0f, 1.0f);
    for (int c = 0; c < 3; ++c) {
      const float back = (1 - toFar) * near.rgb[3 * i + c] + toFar * far.rgb[3 * i + c];
      frame.rgb[3 * i + c] = (1 - toNear) * frame.rgb[3 * i + c] + toNear * back;
    }
  }
  return frameOf(frame);
}

struct Sample {
  std::string name;
  Frame frame;
};

// Every face of the photo, each in a laptop frame of its own: the photo scaled so that the
// face box is `faceWidth` wide, its centre at (cx, cy) of the frame. Faces are found once, in
// the photo enlarged so that its shorter side is at least 640 pixels.
std::vector<Sample> realSamples(const std::string& path, Fill fill, double faceWidth, double cx, double cy) {
  const auto buffer = platform::image::readImageFile(path);
  if (!buffer) fail("cannot read " + path);
  const Picture photo = pictureOf(*buffer);
  const double enlarge = std::max(1.0, 640.0 / std::min(photo.width, photo.height));
  const int w = static_cast<int>(std::lround(photo.width * enlarge)), h = static_cast<int>(std::lround(photo.height * enlarge));
  Frame search = PixelBuffer::create(w, h);
  platform::image::Context({.highQualityDownsample = true})
      .render(platform::image::Image::fromPixelBuffer(buffer).scaledBy(enlarge, enlarge), *search,
              platform::Rect(0, 0, w, h), platform::image::ColorSpace::sRGB());
  const auto found = platform::vision::faceLandmarksDetector()->detectFaceLandmarks(
      search, platform::image::ImageOrientation::up);
  const auto* faces = std::get_if<std::vector<platform::vision::FaceObservation>>(&found);
  if (!faces) fail("face detection failed on " + path);
  std::vector<Sample> samples;
  for (std::size_t i = 0; i < faces->size(); ++i) {
    const auto& bb = (*faces)[i].boundingBox;  // normalised, origin at the bottom left
    const double boxWidth = bb.size.width * photo.width;
    const double fx = (bb.origin.x + bb.size.width / 2) * photo.width;
    const double fy = (1 - bb.origin.y - bb.size.height / 2) * photo.height;
    samples.push_back({faces->size() > 1 ? path + " #" + std::to_string(i + 1) : path,
                       laptopFrame(photo, faceWidth / boxWidth, fx, fy, cx * kWidth, cy * kHeight, fill)});
  }
  return samples;
}

std::vector<Sample> flatSamples() {
  std::vector<Sample> samples;
  const auto make = [&](const std::string& name, auto colour) {
    Picture p{kWidth, kHeight, std::vector<float>(3 * static_cast<std::size_t>(kWidth) * kHeight)};
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) colour(x, y, p.at(x, y));
    }
    samples.push_back({name, frameOf(p)});
  };
  for (int level = 0; level <= 255; level += 15) {
    make("grey " + std::to_string(level), [&](int, int, float* o) { o[0] = o[1] = o[2] = float(level); });
  }
  struct Colour {
    const char* name;
    float r, g, b;
  };
  for (const Colour c : {Colour{"red", 255, 0, 0}, Colour{"green", 0, 255, 0}, Colour{"blue", 0, 0, 255},
                         Colour{"skin", 224, 172, 140}, Colour{"dark skin", 110, 72, 50},
                         Colour{"wall", 200, 196, 180}}) {
    make(c.name, [&](int, int, float* o) { o[0] = c.r, o[1] = c.g, o[2] = c.b; });
  }
  std::mt19937 random(15);
  struct Noise {
    const char* name;
    float mean, sigma;
    bool colour;
  };
  for (const Noise n : {Noise{"noise uniform", 127.5f, 73.6f, true}, Noise{"noise grey 128/10", 128, 10, false},
                        Noise{"noise grey 128/40", 128, 40, false}, Noise{"dark noise 8/4", 8, 4, true},
                        Noise{"dark noise 24/8", 24, 8, true}}) {
    std::normal_distribution<float> gauss(n.mean, n.sigma);
    std::uniform_real_distribution<float> uniform(0, 255);
    make(n.name, [&](int, int, float* o) {
      const bool isUniform = n.sigma > 70;
      o[0] = isUniform ? uniform(random) : gauss(random);
      o[1] = n.colour ? (isUniform ? uniform(random) : gauss(random)) : o[0];
      o[2] = n.colour ? (isUniform ? uniform(random) : gauss(random)) : o[0];
    });
  }
  make("gradient left-right", [](int x, int, float* o) { o[0] = o[1] = o[2] = 255.0f * x / (kWidth - 1); });
  make("gradient top-bottom", [](int, int y, float* o) { o[0] = o[1] = o[2] = 255.0f * y / (kHeight - 1); });
  make("gradient diagonal colour", [](int x, int y, float* o) {
    o[0] = 255.0f * x / (kWidth - 1);
    o[1] = 255.0f * y / (kHeight - 1);
    o[2] = 128;
  });
  make("gradient radial", [](int x, int y, float* o) {
    const float d = std::hypot(x - kWidth / 2.0f, y - kHeight / 2.0f) / 734.0f;
    o[0] = o[1] = o[2] = 230 * (1 - d);
  });
  make("vignette wall", [](int x, int y, float* o) {
    const float d = std::hypot(x - kWidth / 2.0f, y - kHeight / 2.0f) / 734.0f;
    o[0] = 190 * (1 - 0.5f * d * d), o[1] = 180 * (1 - 0.5f * d * d), o[2] = 160 * (1 - 0.5f * d * d);
  });
  return samples;
}

// The liveness input of a frame, as the unlock attempt builds it.
std::optional<platform::ml::MultiArray> livenessInput(const Frame& frame) {
  const auto square = quorvel::FaceAligner::shared().wideSquare(frame);
  if (!square) return std::nullopt;
  return quorvel::FaceTensors::shared().tensor(*square, quorvel::FaceModels::kLivenessSide,
                                               quorvel::FaceTensors::Normalisation::unit());
}

// One package under measurement, run by a model host of its own over a bundle that holds it
// as "MiniFAS".
struct Package {
  std::string path, label;
  std::string bundle;
  std::shared_ptr<quorvel::FaceModels> host;
};

Package hostFor(const std::string& path, const std::string& label, const fs::path& scratch, int index) {
  if (!fs::is_directory(path)) fail("no model folder at " + path);
  const fs::path bundle = scratch / ("bundle" + std::to_string(index));
  fs::create_directories(bundle / "Resources");
  fs::create_symlink(fs::absolute(path), bundle / "Resources" / "MiniFAS.mlpackage");
  platform::bundle::install(std::make_shared<platform::bundle::Bundle>(bundle.string()));
  auto host = std::make_shared<quorvel::FaceModels>();
  const auto probe = platform::ml::MultiArray::make({1, 3, 128, 128});
  if (!probe || !host->liveness(*probe)) fail("the model at " + path + " does not load or run");
  return {path, label, bundle.string(), host};
}

// For a package whose manifest lists several networks, one package per network (made in
// `scratch`, the network linked, the manifest reduced to that network and its adaptation).
std::vector<std::pair<std::string, std::string>> eachNetwork(const std::string& path, const fs::path& scratch) {
  std::ifstream stream(path + "/manifest.json");
  const nlohmann::json root = nlohmann::json::parse(stream, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.contains("networks")) return {};
  std::vector<std::pair<std::string, std::string>> packages;  // folder, label
  for (const nlohmann::json& entry : root["networks"]) {
    const std::string network = entry.value("network", "");
    const fs::path folder = scratch / ("alone-" + network);
    fs::create_directories(folder);
    fs::create_symlink(fs::absolute(path) / network, folder / network);
    nlohmann::json single = {{"format", 1}, {"network", network}, {"input", root.value("input", nlohmann::json::object())},
                             {"output", root.value("output", nlohmann::json::object())}};
    for (const auto& [key, value] : entry.items()) {
      if (key != "network") single["input"][key] = value;
    }
    std::ofstream(folder / "manifest.json") << single.dump(2);
    packages.emplace_back(folder.string(), path + ", " + network + " alone");
  }
  return packages;
}

struct Tally {
  int frames = 0, passed = 0;
  std::vector<float> scores;
  void add(float p) {
    ++frames;
    if (p >= quorvel::MatchEngine::livenessFloor) ++passed;
    scores.push_back(p);
  }
  double median() const {
    if (scores.empty()) return 0;
    std::vector<float> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> packages;  // folder, label
  std::vector<std::pair<std::string, int>> photoFolders;
  Fill fill = Fill::edge;
  double faceWidth = 250, centreX = 0.5, centreY = 0.45;
  bool list = false, each = false;
  std::string saveFolder;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--package") {
      const std::string folder = value();
      packages.emplace_back(folder, folder);
    } else if (arg == "--photos") {
      const std::string spec = value();
      const auto colon = spec.rfind(':');
      if (colon != std::string::npos && colon + 1 < spec.size() &&
          spec.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        photoFolders.emplace_back(spec.substr(0, colon), std::max(1, std::stoi(spec.substr(colon + 1))));
      } else {
        photoFolders.emplace_back(spec, 1);
      }
    } else if (arg == "--fill") {
      const std::string name = value();
      if (name != "edge" && name != "cover") fail("--fill takes edge or cover");
      fill = name == "edge" ? Fill::edge : Fill::cover;
    } else if (arg == "--face-width") {
      faceWidth = std::atof(value().c_str());
      if (!(faceWidth >= 40 && faceWidth <= 700)) fail("--face-width takes 40 to 700 pixels");
    } else if (arg == "--centre") {
      if (std::sscanf(value().c_str(), "%lf,%lf", &centreX, &centreY) != 2 || centreX < 0 || centreX > 1 ||
          centreY < 0 || centreY > 1) {
        fail("--centre takes X,Y in fractions of the frame");
      }
    } else if (arg == "--save") {
      saveFolder = value();
      fs::create_directories(saveFolder);
    } else if (arg == "--each-network") {
      each = true;
    } else if (arg == "--list") {
      list = true;
    } else {
      fail("unknown argument " + arg + " (see the head of tools/liveness/measure_liveness.cpp)");
    }
  }
  if (packages.empty()) {
    const auto shipped = platform::bundle::Bundle::main().url("MiniFAS", "mlpackage");
    if (!shipped) fail("no MiniFAS.mlpackage in the bundle beside this executable: run scripts/build");
    packages.emplace_back(*shipped, *shipped);
  }
  if (photoFolders.empty()) photoFolders.emplace_back("/usr/share/doc/libdlib19.1/examples/johns", 1);

  char scratchTemplate[] = "/tmp/measure-liveness-XXXXXX";
  if (!::mkdtemp(scratchTemplate)) fail("no scratch folder");
  const fs::path scratch = scratchTemplate;
  if (each) {
    for (const auto& package : std::vector<std::pair<std::string, std::string>>(packages)) {
      for (const auto& alone : eachNetwork(package.first, scratch)) packages.push_back(alone);
    }
  }
  std::vector<Package> hosts;
  for (std::size_t i = 0; i < packages.size(); ++i) hosts.push_back(hostFor(packages[i].first, packages[i].second, scratch, static_cast<int>(i)));

  struct Set {
    std::string name;
    std::vector<Tally> tallies;
    int unused = 0;
  };
  std::vector<Set> sets;
  const auto measure = [&](Set& set, const Sample& sample) {
    const auto input = livenessInput(sample.frame);
    if (!input) fail("no liveness input for " + sample.name);
    if (!saveFolder.empty()) {
      std::string file = sample.name;
      std::replace_if(file.begin(), file.end(), [](char c) { return c == '/' || c == ' '; }, '_');
      platform::image::writePNG(*sample.frame, saveFolder + "/" + file + ".png");
    }
    if (list) std::printf("%-60s", sample.name.c_str());
    for (std::size_t k = 0; k < hosts.size(); ++k) {
      const auto p = hosts[k].host->liveness(*input);
      if (!p) fail("no liveness for " + sample.name + " from " + hosts[k].path);
      set.tallies[k].add(*p);
      if (list) std::printf(" %.3f", *p);
    }
    if (list) std::printf("\n");
  };

  for (const auto& [folder, every] : photoFolders) {
    if (!fs::is_directory(folder)) fail("no photo folder at " + folder);
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      const auto ext = entry.path().extension().string();
      if (entry.is_regular_file() && (ext == ".jpg" || ext == ".jpeg" || ext == ".png")) {
        paths.push_back(entry.path().string());
      }
    }
    std::sort(paths.begin(), paths.end());
    Set set{folder + (every > 1 ? " (every " + std::to_string(every) + ")" : ""),
            std::vector<Tally>(hosts.size()), 0};
    for (std::size_t i = 0; i < paths.size(); i += static_cast<std::size_t>(every)) {
      const auto samples = realSamples(paths[i], fill, faceWidth, centreX, centreY);
      if (samples.empty()) ++set.unused;
      for (const Sample& sample : samples) measure(set, sample);
    }
    sets.push_back(std::move(set));
  }
  Set flats{"flat and uniform frames", std::vector<Tally>(hosts.size()), 0};
  for (const Sample& sample : flatSamples()) measure(flats, sample);

  std::printf("liveness >= %.2f through the wide square (1280 x 720 frames; faces %.0f px wide at %.2f,%.2f; %s fill)\n",
              quorvel::MatchEngine::livenessFloor, faceWidth, centreX, centreY,
              fill == Fill::edge ? "edge" : "cover");
  for (std::size_t k = 0; k < hosts.size(); ++k) {
    std::printf("\n%s\n", hosts[k].label.c_str());
    for (const auto& set : sets) {
      const Tally& t = set.tallies[k];
      std::printf("  %-58s %4d of %4d pass (%5.1f %%), median %.3f%s\n", set.name.c_str(), t.passed, t.frames,
                  t.frames ? 100.0 * t.passed / t.frames : 0.0, t.median(),
                  set.unused ? (", " + std::to_string(set.unused) + " photos without a face").c_str() : "");
    }
    if (sets.size() > 1) {
      int passed = 0, frames = 0;
      for (const auto& set : sets) passed += set.tallies[k].passed, frames += set.tallies[k].frames;
      std::printf("  %-58s %4d of %4d pass (%5.1f %%)\n", "all real faces", passed, frames,
                  frames ? 100.0 * passed / frames : 0.0);
    }
    const Tally& f = flats.tallies[k];
    std::printf("  %-58s %4d of %4d pass (%5.1f %%), highest %.3f\n", flats.name.c_str(), f.passed, f.frames,
                100.0 * f.passed / f.frames, *std::max_element(f.scores.begin(), f.scores.end()));
  }
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  return 0;
}
