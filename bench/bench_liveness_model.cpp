// One prediction of the shipped liveness model through the model runtime: for each of its two
// networks (MiniFASNetV2 and MiniFASNetV1SE) the manifest's crop, resize and colour
// adaptation, the forward pass and the logit mapping, then the mean of the two answers.
// Run on one core: taskset -c 0 ./bench_liveness_model --benchmark_repetitions=10
#include <benchmark/benchmark.h>

#include <random>

#include "platform/bundle/bundle.hpp"
#include "platform/ml/ml.hpp"

namespace {

using platform::ml::FeatureProvider;
using platform::ml::MultiArray;

void BM_LivenessPrediction(benchmark::State& state) {
  // The bundle beside this executable, as the application finds it.
  const auto package = platform::bundle::Bundle::main().url("MiniFAS", "mlpackage");
  if (!package) {
    state.SkipWithError("MiniFAS.mlpackage is not in the bundle; build the project first");
    return;
  }
  auto model = platform::ml::loadModel(*package, {platform::ml::ComputeUnits::all});
  if (!model) {
    state.SkipWithError(model.error().localizedDescription.c_str());
    return;
  }
  auto input = *MultiArray::make({1, 3, 128, 128});
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::size_t i = 0; i < input.count(); ++i) input[i] = unit(random);
  FeatureProvider features;
  features.set("input", std::move(input));

  for (auto _ : state) {
    auto answer = model.value()->prediction(features);
    if (!answer) {
      state.SkipWithError(answer.error().localizedDescription.c_str());
      return;
    }
    benchmark::DoNotOptimize(answer.value().featureValue("output"));
  }
}
BENCHMARK(BM_LivenessPrediction)->Unit(benchmark::kMillisecond);

}  // namespace
