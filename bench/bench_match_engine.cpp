// Per-frame cost of scoring a probe against the stored faceprints and deciding.
// Run on one core: taskset -c 0 ./bench_match_engine
#include <benchmark/benchmark.h>

#include <random>

#include "recognition/match_engine.hpp"

namespace {

using quorvel::FaceDescriptor;
using quorvel::FaceEngineSpec;
using quorvel::MatchEngine;

std::vector<FaceDescriptor> storedDescriptors(std::size_t count) {
  std::mt19937 random(42);
  std::normal_distribution<float> value(0.0f, 0.1f);
  std::vector<FaceDescriptor> stored(count, FaceDescriptor(128));
  for (auto& v : stored) {
    for (auto& x : v) x = value(random);
  }
  return stored;
}

// 25 enrolled + 12 learned dlib descriptors: the weighted distance road.
void BM_MatchScoreDlib37(benchmark::State& state) {
  const auto stored = storedDescriptors(37);
  const auto probe = storedDescriptors(1).front();
  const MatchEngine engine(FaceEngineSpec::dlib);
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.matchScore(probe, stored));
  }
}
BENCHMARK(BM_MatchScoreDlib37);

void BM_Evaluate(benchmark::State& state) {
  MatchEngine engine(FaceEngineSpec::dlib);
  const auto liveness = [] { return 0.9f; };
  double score = 0.6;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.evaluate(score, liveness, 0.1, 0.05));
    score = score > 0.7 ? 0.6 : score + 0.01;
  }
}
BENCHMARK(BM_Evaluate);

}  // namespace
