// Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) with the program's own
// code: a faceprint store with enrolled and learned prints (sealed under the fuzz targets'
// key, and its plaintext), the keychain file holding that key, the app password and the sealed
// login password, the user-defaults file the settings write, the bundle's manifests, a PNG the
// image writer makes, dlib's answers for the test photos' faces, and plausible hand-model
// outputs. fuzz/make-seeds runs it (with the image files and the recorded D-Bus messages).
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "foundation/crypto.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/quorvel_password.hpp"
#include "foundation/settings.hpp"
#include "fuzz_input.hpp"
#include "platform/defaults/defaults_linux.hpp"
#include "platform/image/image_io.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/vision/hand_pose_model.hpp"

namespace fs = std::filesystem;
using quorvel::Bytes;

namespace {

fs::path corpus;

void write(const std::string& target, const std::string& name, const void* data, std::size_t size) {
  fs::create_directories(corpus / target);
  std::ofstream(corpus / target / name, std::ios::binary)
      .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
void write(const std::string& target, const std::string& name, const Bytes& bytes) {
  write(target, name, bytes.data(), bytes.size());
}
Bytes contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A descriptor-like vector: 128 numbers of unit length.
std::vector<float> descriptor(int seed) {
  std::vector<float> values(128);
  double norm = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<float>(std::sin(seed * 12.9898 + static_cast<double>(i) * 78.233));
    norm += values[i] * values[i];
  }
  for (float& value : values) value = static_cast<float>(value / std::sqrt(norm));
  return values;
}

template <class T>
void append(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void faceLandmarkSeeds(const fs::path& source) {
  dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
  dlib::shape_predictor predictor;
  dlib::deserialize("/usr/share/dlib/shape_predictor_68_face_landmarks.dat") >> predictor;
  int made = 0;
  for (const char* photo : {"tests/data/head-pose/Robin_McLaurin_Williams_0001.jpg",
                            "tests/data/face-pairs/images/Andre_Agassi_0004.jpg"}) {
    const auto bitmap = platform::image::readImageBitmap((source / photo).string());
    if (!bitmap) continue;
    dlib::array2d<unsigned char> grey(bitmap->height, bitmap->width);
    for (int y = 0; y < bitmap->height; ++y) {
      for (int x = 0; x < bitmap->width; ++x) grey[y][x] = bitmap->pixel(x, y)[1];
    }
    for (const dlib::rectangle& box : detector(grey)) {
      const dlib::full_object_detection shape = predictor(grey, box);
      std::string seed;
      append(seed, static_cast<std::uint16_t>(bitmap->width - 1));
      append(seed, static_cast<std::uint16_t>(bitmap->height - 1));
      for (const long v : {box.left(), box.top(), box.right(), box.bottom()})
        append(seed, static_cast<std::int32_t>(v));
      for (unsigned long i = 0; i < shape.num_parts(); ++i) {
        append(seed, static_cast<std::int32_t>(shape.part(i).x()));
        append(seed, static_cast<std::int32_t>(shape.part(i).y()));
      }
      write("face_landmarks", "dlib-face-" + std::to_string(++made), seed.data(), seed.size());
    }
  }
}

// A palm held up in the middle of a 1280 x 720 frame, read as an upright open hand; and the
// same palm read as a face would be (low presence, fingers folded).
void handPoseSeeds() {
  using namespace platform::vision::handmodel;
  const float wrist[2] = {112, 200};
  for (const bool open : {true, false}) {
    std::string seed;
    append(seed, std::uint16_t{1279});
    append(seed, std::uint16_t{719});
    append(seed, std::uint8_t{1});
    append(seed, std::uint16_t{2 * 16 * 8 + 2 * 8});  // an anchor of the middle row
    const float palm[kPalmValuesPerAnchor] = {1,   2, 30,  30, 0,  14,  -6, -10, 0,
                                              -12, 6, -11, 12, -8, -14, 2,  -18, -6};
    for (const float value : palm) append(seed, value);
    append(seed, 6.0f);
    for (int read = 0; read < 2; ++read) {
      for (int i = 0; i < kLandmarkCount; ++i) {
        const int finger = i == 0 ? 0 : (i - 1) / 4, joint = i == 0 ? 0 : (i - 1) % 4 + 1;
        const float reach = open ? 28.0f * joint : 6.0f * joint;
        append(seed, wrist[0] - 40 + 20 * finger + (i == 0 ? 40 : 0));
        append(seed, wrist[1] - (i == 0 ? 0 : 60 + reach));
        append(seed, 0.0f);
      }
      append(seed, open ? 0.99f : 0.3f);
    }
    write("hand_pose", open ? "open-hand" : "face-like", seed.data(), seed.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: quorvel_fuzz_seeds <source folder> <corpus folder>\n";
    return 2;
  }
  const fs::path source = argv[1];
  corpus = argv[2];
  const fs::path scratch = fs::temp_directory_path() / ("quorvel-fuzz-seeds-" + std::to_string(::getpid()));
  fs::create_directories(scratch);

  // The keychain file, holding the key the fuzz targets open sealed boxes with.
  const Bytes key = quorvel::fuzz::sealingKey();
  auto keychain = std::make_shared<platform::keychain::FileKeychain>((scratch / "keychain.json").string());
  platform::keychain::install(keychain);
  keychain->add(quorvel::Keychain::service, quorvel::Crypto::keyAccount, key,
                platform::keychain::Accessibility::whenUnlockedThisDeviceOnly);
  quorvel::QuorvelPassword::set("app password");
  quorvel::PasswordVault::set("login p\xC3\xA4ssword");
  write("keychain_file", "keychain.json", contents(scratch / "keychain.json"));
  const auto sealedPassword =
      keychain->copyMatching(quorvel::Keychain::service, quorvel::PasswordVault::account);
  if (sealedPassword.data) write("sealed_box", "login-password.sealed", *sealedPassword.data);

  // The faceprint file: three enrolled and two learned dlib prints, one learned of the other
  // engine; and a file of an older version, whose record names no engine.
  {
    quorvel::FaceprintStore store((scratch / "faceprints.encrypted").string());
    store.replaceEnrolled({descriptor(1), descriptor(2), descriptor(3)}, quorvel::RecognitionEngine::dlib);
    store.add(descriptor(4), quorvel::FaceprintStore::Source::learned, quorvel::RecognitionEngine::dlib);
    store.add(descriptor(5), quorvel::FaceprintStore::Source::learned, quorvel::RecognitionEngine::arcface);
  }
  const Bytes sealed = contents(scratch / "faceprints.encrypted");
  write("sealed_box", "faceprints.encrypted", sealed);
  quorvel::Crypto crypto{platform::crypto::SymmetricKey(key)};
  if (const auto plaintext = crypto.decrypt(sealed)) write("faceprints", "faceprints.json", *plaintext);
  const auto older = quorvel::FaceprintStore::encode(
      {{descriptor(6), 694224000.5, quorvel::FaceprintStore::Source::enrolled, std::nullopt}});
  if (older) write("faceprints", "older-without-engine.json", older->data(), older->size());

  // The user-defaults file as the settings write it.
  auto defaults =
      std::make_shared<platform::defaults::FileUserDefaults>((scratch / "defaults.json").string());
  quorvel::Settings settings(defaults);
  settings.setUnlockEnabled(false);
  settings.setHasSeenWelcome(true);
  settings.setRecognitionEngine(quorvel::RecognitionEngine::dlib);
  defaults->set("windowScale", platform::defaults::Value(1.25));
  defaults->set("launchCount", platform::defaults::Value(std::int64_t{3}));
  write("user_defaults", "defaults.json", contents(scratch / "defaults.json"));

  for (const auto& entry : fs::directory_iterator(source / "Resources")) {
    if (fs::exists(entry.path() / "manifest.json")) {
      write("model_manifest", entry.path().filename().string() + ".json",
            contents(entry.path() / "manifest.json"));
    }
  }

  platform::image::Bitmap bitmap{8, 6, platform::image::BitmapFormat::RGBA8, 32, Bytes(32 * 6)};
  for (std::size_t i = 0; i < bitmap.bytes.size(); ++i)
    bitmap.bytes[i] = static_cast<std::uint8_t>(i * 7 % 256 | 3);
  if (platform::image::writePNG(bitmap, (scratch / "written.png").string())) {
    write("image_file", "written-rgba.png", contents(scratch / "written.png"));
  }

  faceLandmarkSeeds(source);
  handPoseSeeds();
  fs::remove_all(scratch);
  return 0;
}
