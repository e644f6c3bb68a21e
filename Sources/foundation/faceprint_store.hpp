// The user's faceprints (face descriptors), kept on disk as one file sealed by the
// encryption service and handed out per recognition engine.
//
// A file that cannot be read, decrypted or decoded is never overwritten: the store then
// reads as empty and refuses every change, retrying the load at every operation, so that a
// passing Keychain problem cannot destroy the enrolment. Only `removeAll()` gets rid of it.
//
// File plaintext: a compact UTF-8 JSON array, one object per record in stored order, with
// the members "vector" (32-bit floats, shortest round-trip form), "created" (seconds since
// 2001-01-01 UTC, 64-bit float), "source" ("enrolled"/"learned") and "engine" (absent when
// the record has none, which means "arcface").
//
// Locks: every operation holds the store's recursive lock for its whole run; the encryption
// service's lock is only ever taken inside it.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/keychain.hpp"
#include "foundation/recognition_engine.hpp"

namespace quorvel {

class FaceprintStore final {
 public:
  enum class Source { enrolled, learned };
  static const char* rawValue(Source source);

  struct Record {
    std::vector<float> vector;
    double created = 0;  // seconds since 2001-01-01 UTC
    Source source = Source::enrolled;
    std::optional<std::string> engine;  // raw value; none means "arcface"

    bool operator==(const Record&) const = default;
  };

  // The most learned records kept per engine; enrolled records are never evicted.
  static constexpr std::size_t learnedCap = 12;

  // The process-wide store over the default file.
  static FaceprintStore& shared();
  // "<Application Support>/com.tessmin.quorvel/faceprints.encrypted" (the temporary folder
  // stands in when there is no Application Support folder).
  static std::string defaultFileURL();

  // A store over any file; it tries to load at once.
  explicit FaceprintStore(std::string fileURL);

  const std::string& fileURL() const { return fileURL_; }

  bool isEnrolled(RecognitionEngine engine);
  std::size_t enrolledCount(RecognitionEngine engine);
  // Every descriptor of the engine, enrolled and learned, in stored order.
  std::vector<std::vector<float>> vectors(RecognitionEngine engine);
  std::size_t count();

  // Stores one record (a learned one may evict the engine's oldest learned record). On a
  // failed save, or while the file cannot be read, the store is left as it was.
  void add(const std::vector<float>& descriptor, Source source, RecognitionEngine engine);
  // Replaces every record of the engine (learned ones too) with enrolled records of the
  // descriptors, in order; true when saved.
  bool replaceEnrolled(const std::vector<std::vector<float>>& descriptors, RecognitionEngine engine);
  // Forgets every record of every engine and deletes the file, readable or not.
  void removeAll();

  // The file's plaintext for `records`; no value when a number is not finite.
  static std::optional<std::string> encode(const std::vector<Record>& records);
  // The records of a plaintext, or no value when it is not a valid record list.
  static std::optional<std::vector<Record>> decode(const Bytes& plaintext);

 private:
  void loadIfNeeded();
  bool save();
  void evictLearned(const std::string& engine);

  std::string fileURL_;
  std::vector<Record> records_;
  std::recursive_mutex lock_;
  bool loaded_ = false;
};

}  // namespace quorvel
