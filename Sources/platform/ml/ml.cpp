#include "platform/ml/ml.hpp"

#include <mutex>

#include "platform/ml/onnx_model.hpp"

namespace platform::ml {
namespace {

std::mutex& runtimeMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<Runtime>& installedRuntime() {
  static std::shared_ptr<Runtime> runtime;
  return runtime;
}

}  // namespace

const char* computeUnitsName(ComputeUnits units) {
  switch (units) {
    case ComputeUnits::cpuOnly: return "cpuOnly";
    case ComputeUnits::cpuAndGPU: return "cpuAndGPU";
    case ComputeUnits::all: return "all";
    case ComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
  }
  return "unknown";
}

std::optional<MultiArray> MultiArray::make(std::vector<std::int64_t> shape) {
  if (shape.empty()) return std::nullopt;
  bool hasZero = false;
  for (const std::int64_t dimension : shape) {
    if (dimension < 0) return std::nullopt;
    if (dimension == 0) hasZero = true;
  }
  if (hasZero) return MultiArray(std::move(shape), 0);
  std::size_t count = 1;
  for (const std::int64_t dimension : shape) {
    if (static_cast<std::uint64_t>(dimension) > kMaximumCount / count) return std::nullopt;
    count *= static_cast<std::size_t>(dimension);
  }
  return MultiArray(std::move(shape), count);
}

std::vector<std::int64_t> MultiArray::strides() const {
  std::vector<std::int64_t> result(shape_.size(), 1);
  for (std::size_t i = shape_.size(); i-- > 1;) result[i - 1] = result[i] * shape_[i];
  return result;
}

void FeatureProvider::set(const std::string& name, FeatureValue value) {
  for (auto& feature : features_) {
    if (feature.first == name) {
      feature.second = std::move(value);
      return;
    }
  }
  features_.emplace_back(name, std::move(value));
}

std::vector<std::string> FeatureProvider::featureNames() const {
  std::vector<std::string> names;
  names.reserve(features_.size());
  for (const auto& feature : features_) names.push_back(feature.first);
  return names;
}

const FeatureValue* FeatureProvider::featureValue(const std::string& name) const {
  for (const auto& feature : features_) {
    if (feature.first == name) return &feature.second;
  }
  return nullptr;
}

std::shared_ptr<Runtime> current() {
  std::lock_guard<std::mutex> lock(runtimeMutex());
  if (!installedRuntime()) installedRuntime() = std::make_shared<OnnxRuntime>();
  return installedRuntime();
}

void install(std::shared_ptr<Runtime> runtime) {
  std::lock_guard<std::mutex> lock(runtimeMutex());
  installedRuntime() = std::move(runtime);
}

Result<std::shared_ptr<Model>> loadModel(const std::string& path,
                                         const ModelConfiguration& configuration) {
  return current()->loadModel(path, configuration);
}

}  // namespace platform::ml
