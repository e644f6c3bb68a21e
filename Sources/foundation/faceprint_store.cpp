#include "foundation/faceprint_store.hpp"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "foundation/crypto.hpp"
#include "foundation/json_text.hpp"
#include "foundation/log.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/files/files.hpp"
#include "platform/shared.hpp"

namespace quorvel {
namespace {

constexpr const char* kFileName = "faceprints.encrypted";
constexpr const char* kUnnamedEngine = "arcface";

bool belongsTo(const FaceprintStore::Record& record, const std::string& engine) {
  return record.engine ? *record.engine == engine : engine == kUnnamedEngine;
}

std::optional<float> floatFrom(const nlohmann::json& value) {
  if (!value.is_number()) return std::nullopt;
  // A number that rounds to a finite 32-bit float is accepted (the shortest form of the
  // largest float, 3.4028235e+38, lies just above it); one beyond that range is not.
  // 0x1.ffffffp127 is halfway between the largest float and 2^128: from there on a number
  // rounds to infinity.
  const double number = value.get<double>();
  if (!std::isfinite(number) || std::fabs(number) >= 0x1.ffffffp127) return std::nullopt;
  return static_cast<float>(number);
}

std::optional<FaceprintStore::Record> recordFrom(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  FaceprintStore::Record record;

  const auto vector = object.find("vector");
  if (vector == object.end() || !vector->is_array()) return std::nullopt;
  record.vector.reserve(vector->size());
  for (const auto& element : *vector) {
    const auto value = floatFrom(element);
    if (!value) return std::nullopt;
    record.vector.push_back(*value);
  }

  const auto created = object.find("created");
  if (created == object.end() || !created->is_number()) return std::nullopt;
  record.created = created->get<double>();
  if (!std::isfinite(record.created)) return std::nullopt;

  const auto source = object.find("source");
  if (source == object.end() || !source->is_string()) return std::nullopt;
  const auto& sourceText = source->get_ref<const std::string&>();
  if (sourceText == "enrolled") {
    record.source = FaceprintStore::Source::enrolled;
  } else if (sourceText == "learned") {
    record.source = FaceprintStore::Source::learned;
  } else {
    return std::nullopt;
  }

  // Present, the engine must be a string; null included, anything else makes the file
  // undecodable, so a file this reader does not fully understand is never written back.
  const auto engine = object.find("engine");
  if (engine != object.end()) {
    if (!engine->is_string()) return std::nullopt;
    record.engine = engine->get<std::string>();
  }
  return record;
}

}  // namespace

const char* FaceprintStore::rawValue(Source source) {
  return source == Source::enrolled ? "enrolled" : "learned";
}

std::string FaceprintStore::defaultFileURL() {
  const auto fileSystem = platform::files::current();
  const std::string base = fileSystem->applicationSupportFolder().value_or(fileSystem->temporaryFolder());
  return base + "/" + Keychain::service + "/" + kFileName;
}

FaceprintStore& FaceprintStore::shared() {
  static platform::SharedInstance<FaceprintStore> instance([] {
    const std::string file = defaultFileURL();
    // A failure to make the folder shows up later as a failed save.
    platform::files::current()->createFolders(file.substr(0, file.rfind('/')));
    return std::make_shared<FaceprintStore>(file);
  });
  return instance.get();
}

FaceprintStore::FaceprintStore(std::string fileURL) : fileURL_(std::move(fileURL)) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  loadIfNeeded();
}

void FaceprintStore::loadIfNeeded() {
  if (loaded_) return;
  const auto fileSystem = platform::files::current();
  if (!fileSystem->fileExists(fileURL_)) {
    loaded_ = true;
    return;
  }
  // Any failure below leaves the store unloaded and the file untouched.
  const auto sealed = fileSystem->readFile(fileURL_);
  if (!sealed) return;
  const auto plaintext = Crypto::shared().decrypt(*sealed);
  if (!plaintext) return;
  auto decoded = decode(*plaintext);
  if (!decoded) return;
  records_ = std::move(*decoded);
  loaded_ = true;
}

bool FaceprintStore::isEnrolled(RecognitionEngine engine) {
  return enrolledCount(engine) > 0;
}

std::size_t FaceprintStore::enrolledCount(RecognitionEngine engine) {
  const std::string raw = quorvel::rawValue(engine);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  loadIfNeeded();
  return static_cast<std::size_t>(std::count_if(records_.begin(), records_.end(), [&](const Record& r) {
    return r.source == Source::enrolled && belongsTo(r, raw);
  }));
}

std::vector<std::vector<float>> FaceprintStore::vectors(RecognitionEngine engine) {
  const std::string raw = quorvel::rawValue(engine);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  loadIfNeeded();
  std::vector<std::vector<float>> out;
  out.reserve(records_.size());
  for (const auto& record : records_) {
    if (belongsTo(record, raw)) out.push_back(record.vector);
  }
  return out;
}

std::size_t FaceprintStore::count() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  loadIfNeeded();
  return records_.size();
}

void FaceprintStore::add(const std::vector<float>& descriptor, Source source, RecognitionEngine engine) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  loadIfNeeded();
  if (!loaded_) return;
  std::vector<Record> remembered = records_;
  const std::string raw = quorvel::rawValue(engine);
  records_.push_back(Record{descriptor, platform::dispatch::currentDate(), source, raw});
  if (source == Source::learned) evictLearned(raw);
  if (!save()) records_ = std::move(remembered);
}

void FaceprintStore::evictLearned(const std::string& engine) {
  std::vector<std::size_t> learned;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (records_[i].source == Source::learned && belongsTo(records_[i], engine)) learned.push_back(i);
  }
  if (learned.size() <= learnedCap) return;
  // Oldest first; equal dates keep their stored order, so the earlier stored counts as older.
  std::stable_sort(learned.begin(), learned.end(), [&](std::size_t a, std::size_t b) {
    return records_[a].created < records_[b].created;
  });
  std::vector<bool> evicted(records_.size(), false);
  for (std::size_t i = 0; i < learned.size() - learnedCap; ++i) evicted[learned[i]] = true;
  std::vector<Record> kept;
  kept.reserve(records_.size());
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (!evicted[i]) kept.push_back(std::move(records_[i]));
  }
  records_ = std::move(kept);
}

bool FaceprintStore::replaceEnrolled(const std::vector<std::vector<float>>& descriptors,
                                     RecognitionEngine engine) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  loadIfNeeded();
  if (!loaded_) return false;
  std::vector<Record> remembered = records_;
  const std::string raw = quorvel::rawValue(engine);
  std::erase_if(records_, [&](const Record& r) { return belongsTo(r, raw); });
  const double now = platform::dispatch::currentDate();
  for (const auto& descriptor : descriptors) {
    records_.push_back(Record{descriptor, now, Source::enrolled, raw});
  }
  if (!save()) {
    records_ = std::move(remembered);
    return false;
  }
  return true;
}

bool FaceprintStore::save() {
  const auto plaintext = encode(records_);
  if (!plaintext) {
    Log::face().error("Could not encrypt faceprints");
    return false;
  }
  const auto sealed = Crypto::shared().encrypt(Bytes(plaintext->begin(), plaintext->end()));
  if (!sealed) {
    Log::face().error("Could not encrypt faceprints");
    return false;
  }
  if (!platform::files::current()->writeAtomically(fileURL_, *sealed)) {
    Log::face().error("Could not save faceprints");
    return false;
  }
  return true;
}

void FaceprintStore::removeAll() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  records_.clear();
  loaded_ = true;
  platform::files::current()->removeFile(fileURL_);
}

std::optional<std::string> FaceprintStore::encode(const std::vector<Record>& records) {
  std::string out;
  std::size_t floats = 0;
  for (const auto& record : records) floats += record.vector.size();
  out.reserve(records.size() * 80 + floats * 12);
  out += '[';
  bool firstRecord = true;
  for (const auto& record : records) {
    if (!firstRecord) out += ',';
    firstRecord = false;
    out += "{\"vector\":[";
    bool firstValue = true;
    for (const float value : record.vector) {
      if (!std::isfinite(value)) return std::nullopt;
      if (!firstValue) out += ',';
      firstValue = false;
      json_text::appendNumber(out, value);
    }
    out += "],\"created\":";
    if (!std::isfinite(record.created)) return std::nullopt;
    json_text::appendNumber(out, record.created);
    out += ",\"source\":\"";
    out += rawValue(record.source);
    out += '"';
    if (record.engine) {
      out += ",\"engine\":";
      out += json_text::string(*record.engine);
    }
    out += '}';
  }
  out += ']';
  return out;
}

std::optional<std::vector<FaceprintStore::Record>> FaceprintStore::decode(const Bytes& plaintext) {
  const auto json = nlohmann::json::parse(plaintext.begin(), plaintext.end(), nullptr, false);
  if (json.is_discarded() || !json.is_array()) return std::nullopt;
  std::vector<Record> records;
  records.reserve(json.size());
  for (const auto& element : json) {
    auto record = recordFrom(element);
    if (!record) return std::nullopt;
    records.push_back(std::move(*record));
  }
  return records;
}

}  // namespace quorvel
