// The faceprint file's plaintext: format, round trip, every way a record can be wrong. (Damaged
// text at random is the faceprints fuzz target's.)
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

#include "foundation/faceprint_store.hpp"

namespace {

using quorvel::Bytes;
using quorvel::FaceprintStore;
using Record = FaceprintStore::Record;
using Source = FaceprintStore::Source;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::optional<std::vector<Record>> decode(const std::string& text) {
  return FaceprintStore::decode(bytes(text));
}

TEST(FaceprintCodec, WritesCompactMembersInOrderShortestNumbersAndOmitsAMissingEngine) {
  const std::vector<Record> records = {
      {{1.5f, -0.25f}, 788918400.125, Source::enrolled, "dlib"},
      {{}, -3.0, Source::learned, std::nullopt},
      {{0.1f, 1.0f / 3.0f}, 0.1, Source::learned, "odd/engine\"name"},
  };
  // Floats in their shortest round-trip form (0.1, not the double 0.10000000149011612).
  EXPECT_EQ(*FaceprintStore::encode(records),
            R"([{"vector":[1.5,-0.25],"created":788918400.125,"source":"enrolled","engine":"dlib"},)"
            R"({"vector":[],"created":-3,"source":"learned"},)"
            R"({"vector":[0.1,0.33333334],"created":0.1,"source":"learned","engine":"odd\/engine\"name"}])");
  EXPECT_EQ(*FaceprintStore::encode({}), "[]");
  EXPECT_EQ(FaceprintStore::decode(bytes(*FaceprintStore::encode(records))), records);
  // Numbers that are not finite cannot be written.
  EXPECT_FALSE(FaceprintStore::encode({{{1.0f, NAN}, 0, Source::enrolled, "dlib"}}));
  EXPECT_FALSE(FaceprintStore::encode({{{INFINITY}, 0, Source::enrolled, "dlib"}}));
  EXPECT_FALSE(FaceprintStore::encode({{{1.0f}, NAN, Source::enrolled, "dlib"}}));
}

// A random finite non-zero value (for which == is equality of the bits).
template <typename T, typename Bits>
T randomFinite(std::mt19937_64& random) {
  for (;;) {
    const auto raw = static_cast<Bits>(random());
    T value;
    std::memcpy(&value, &raw, sizeof value);
    if (std::isfinite(value) && value != 0) return value;
  }
}

TEST(FaceprintCodec, EveryFloatAndDateRoundTripsBitForBit) {
  std::mt19937_64 random(7);
  std::vector<Record> records = {
      {{FLT_MAX, -FLT_MAX, FLT_MIN, FLT_TRUE_MIN, 16777217.0f}, DBL_MAX, Source::learned, "arcface"}};
  for (int r = 0; r < 50; ++r) {
    Record record{{}, randomFinite<double, std::uint64_t>(random), Source::enrolled, "dlib"};
    for (int i = 0; i < 128; ++i) record.vector.push_back(randomFinite<float, std::uint32_t>(random));
    records.push_back(record);
  }
  EXPECT_EQ(FaceprintStore::decode(bytes(*FaceprintStore::encode(records))), records);
}

TEST(FaceprintCodec, TheReaderTakesAnyMemberOrderAndUnknownMembersButAnyWrongRecordMakesTheFileUndecodable) {
  EXPECT_EQ(decode(R"([ {"engine":"dlib", "source":"learned", "extra":{"a":[1,2]}, "created":5,)"
                   R"( "vector":[1, -2, 3e2]} ])"),
            (std::vector<Record>{{{1.0f, -2.0f, 300.0f}, 5.0, Source::learned, "dlib"}}));
  EXPECT_EQ(decode("[]"), std::vector<Record>{});
  const std::string good = R"({"vector":[1],"created":1,"source":"enrolled","engine":"dlib"})";
  ASSERT_TRUE(decode("[" + good + "]"));
  const std::vector<std::string> wrong = {
      "",
      R"({"vector":[1],"created":1,"source":"enrolled"})",  // an object, not an array
      "[null]",
      R"([{"created":1,"source":"enrolled"}])",
      R"([{"vector":null,"created":1,"source":"enrolled"}])",
      R"([{"vector":[true],"created":1,"source":"enrolled"}])",
      R"([{"vector":[1e39],"created":1,"source":"enrolled"}])",  // beyond a 32-bit float
      R"([{"vector":[3.4028236e38],"created":1,"source":"enrolled"}])",
      R"([{"vector":[1],"source":"enrolled"}])",
      R"([{"vector":[1],"created":"1","source":"enrolled"}])",
      R"([{"vector":[1],"created":1e400,"source":"enrolled"}])",
      R"([{"vector":[1],"created":1}])",
      R"([{"vector":[1],"created":1,"source":"Enrolled"}])",
      R"([{"vector":[1],"created":1,"source":1}])",
      R"([{"vector":[1],"created":1,"source":"enrolled","engine":5}])",
      R"([{"vector":[1],"created":1,"source":"enrolled","engine":null}])",
      R"([{"vector":[NaN],"created":1,"source":"enrolled"}])",
      "[" + good + "] trailing",
      "[" + good + "," + R"({"vector":[1],"created":1,"source":"other"})" + "]",
      "[\"\xff\"]",
  };
  for (const auto& text : wrong) EXPECT_FALSE(decode(text)) << text;
  // Deep nesting is refused without exhausting the stack.
  EXPECT_FALSE(decode(std::string(100000, '[') + std::string(100000, ']')));
}

}  // namespace
