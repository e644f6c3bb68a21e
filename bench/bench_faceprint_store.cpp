// Cost of the faceprint store's per-frame read and of one stored change.
// Run on one core: taskset -c 0 ./bench_faceprint_store --benchmark_repetitions=10
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "foundation/crypto.hpp"
#include "foundation/faceprint_store.hpp"
#include "platform/keychain/simulated_keychain.hpp"

namespace {

using quorvel::FaceprintStore;
using quorvel::RecognitionEngine;

std::vector<float> randomDescriptor(std::mt19937& random) {
  std::normal_distribution<float> value(0.0f, 0.1f);
  std::vector<float> v(128);
  for (auto& x : v) x = value(random);
  return v;
}

// A private folder with an in-memory keychain, removed at the end.
class Fixture {
 public:
  Fixture() {
    char pattern[] = "/tmp/quorvel-bench-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    platform::keychain::install(std::make_shared<platform::keychain::SimulatedKeychain>());
  }
  ~Fixture() {
    platform::keychain::install(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::string file() const { return folder_ + "/faceprints.encrypted"; }

  // 25 enrolled and 12 learned dlib records, as after an enrolment and some unlocks.
  std::unique_ptr<FaceprintStore> loadedStore() {
    std::mt19937 random(42);
    auto store = std::make_unique<FaceprintStore>(file());
    std::vector<std::vector<float>> enrolled;
    for (int i = 0; i < 25; ++i) enrolled.push_back(randomDescriptor(random));
    store->replaceEnrolled(enrolled, RecognitionEngine::dlib);
    for (int i = 0; i < 12; ++i) {
      store->add(randomDescriptor(random), FaceprintStore::Source::learned, RecognitionEngine::dlib);
    }
    return store;
  }

 private:
  std::string folder_;
};

void BM_VectorsFor37Records(benchmark::State& state) {
  Fixture fixture;
  auto store = fixture.loadedStore();
  if (store->vectors(RecognitionEngine::dlib).size() != 37) state.SkipWithError("store not filled");
  for (auto _ : state) {
    benchmark::DoNotOptimize(store->vectors(RecognitionEngine::dlib));
  }
}
BENCHMARK(BM_VectorsFor37Records);

// One learned add on a full store: evict, encode, seal, write the temporary file, fsync,
// rename.
void BM_AddLearnedRecord(benchmark::State& state) {
  Fixture fixture;
  auto store = fixture.loadedStore();
  std::mt19937 random(7);
  const auto probe = randomDescriptor(random);
  for (auto _ : state) {
    store->add(probe, FaceprintStore::Source::learned, RecognitionEngine::dlib);
  }
  if (store->count() != 37) state.SkipWithError("store not capped");
}
BENCHMARK(BM_AddLearnedRecord)->Unit(benchmark::kMicrosecond);

}  // namespace
