// The crypto and storage groups of the self-test.
#include <string>

#include "foundation/crypto.hpp"
#include "foundation/faceprint_store.hpp"
#include "platform/crypto/crypto.hpp"
#include "platform/files/files.hpp"
#include "platform/uuid/uuid.hpp"
#include "selftest/self_test.hpp"

namespace quorvel {

namespace {
// 25 characters, 29 bytes in UTF-8: one accented letter (2 bytes) and one emoji (4 bytes).
constexpr const char* kSealSample = "Self-test caf\xC3\xA9 \xF0\x9F\x94\x92 samples!";
}  // namespace

std::vector<SelfTest::Check> SelfTest::cryptoChecks() {
  const std::string sampleText = kSealSample;
  const Bytes sample(sampleText.begin(), sampleText.end());
  auto key = platform::crypto::SymmetricKey::random(256);
  std::optional<Bytes> sealed;
  std::optional<Crypto> crypto;
  if (key) {
    crypto.emplace(*key);
    sealed = crypto->encrypt(sample);
  }
  if (!sealed) return {{"Crypto: encrypt and decrypt round trip", false, "encrypt returned nil"}};
  std::vector<Check> checks;
  const auto opened = crypto->decrypt(*sealed);
  checks.push_back({"Crypto: encrypt and decrypt round trip", opened && *opened == sample,
                    std::to_string(sealed->size()) + " sealed bytes"});
  auto otherKey = platform::crypto::SymmetricKey::random(256);
  bool refused = false;
  if (otherKey) {
    Crypto other(*otherKey);
    refused = !other.decrypt(*sealed).has_value();
  }
  checks.push_back({"Crypto: a different key cannot decrypt", refused,
                    "must fail cleanly rather than return rubbish"});
  return checks;
}

std::vector<SelfTest::Check> SelfTest::storageChecks() {
  const auto files = platform::files::current();
  std::string folder = files->temporaryFolder();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const std::string path =
      folder + "quorvel-selftest-" + platform::uuid::UUID().uuidString() + ".bin";
  const auto engine = RecognitionEngine::arcface;

  std::vector<Check> checks;
  {
    FaceprintStore a(path);
    a.replaceEnrolled({{1, 0, 0}, {0, 1, 0}}, engine);
    {
      FaceprintStore b(path);
      const bool saved = b.enrolledCount(engine) == 2;
      FaceprintStore c(path);
      checks.push_back({"Storage: enrolled prints save and load", saved,
                        "reopened store found " + std::to_string(c.enrolledCount(engine))});
    }
    for (std::size_t i = 0; i < FaceprintStore::learnedCap + 5; ++i) {
      a.add({static_cast<float>(i), 0, 0}, FaceprintStore::Source::learned, engine);
    }
  }
  FaceprintStore e(path);
  const std::size_t enrolled = e.enrolledCount(engine);
  const std::size_t total = e.count();
  const std::size_t learned = total >= enrolled ? total - enrolled : 0;
  checks.push_back({"Storage: learned prints are capped at " +
                        std::to_string(FaceprintStore::learnedCap),
                    learned == FaceprintStore::learnedCap, "found " + std::to_string(learned)});
  checks.push_back({"Storage: enrolled prints are never evicted", enrolled == 2,
                    "found " + std::to_string(enrolled)});
  files->removeFile(path);
  return checks;
}

}  // namespace quorvel
