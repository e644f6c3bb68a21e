// The machine-learning stand-in: multi-arrays of 32-bit floats, models loaded from a
// compiled (".mlmodelc") or package (".mlpackage") folder with a configuration that names
// the compute units, and predictions from a dictionary of named features to a dictionary of
// named features. Failures are returned as values.
//
// The process uses the OpenCV runtime (onnx_model.hpp): a model folder holds an ONNX network
// and a manifest that adapts it to the input and output the application expects. Tests
// install the simulated runtime (simulated_ml.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace platform::ml {

// Where a model may run. OpenCV runs every model on the CPU; the choice is recorded and
// reported, not acted on.
enum class ComputeUnits { cpuOnly, cpuAndGPU, all, cpuAndNeuralEngine };
const char* computeUnitsName(ComputeUnits units);

struct ModelConfiguration {
  ComputeUnits computeUnits = ComputeUnits::all;
};

// Error domains' codes, after the platform's model errors.
enum class ErrorCode { generic = 0, featureType = 1, io = 3 };

struct Error {
  ErrorCode code = ErrorCode::generic;
  std::string localizedDescription;
};

// A value or an error.
template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}
  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// A dense, contiguous array of 32-bit floats in row-major order (the last index varies
// fastest). A new array is filled with zeros.
class MultiArray {
 public:
  // Largest element count `make` accepts (1 GiB of floats).
  static constexpr std::size_t kMaximumCount = std::size_t{1} << 28;

  // No value for an empty shape, a negative dimension or more than kMaximumCount elements.
  // A dimension of 0 gives an array without elements.
  static std::optional<MultiArray> make(std::vector<std::int64_t> shape);

  const std::vector<std::int64_t>& shape() const { return shape_; }
  std::vector<std::int64_t> strides() const;
  std::size_t count() const { return values_.size(); }
  float* data() { return values_.data(); }
  const float* data() const { return values_.data(); }
  float& operator[](std::size_t index) { return values_[index]; }
  float operator[](std::size_t index) const { return values_[index]; }

 private:
  MultiArray(std::vector<std::int64_t> shape, std::size_t count)
      : shape_(std::move(shape)), values_(count, 0.0f) {}
  std::vector<std::int64_t> shape_;
  std::vector<float> values_;
};

// One feature: a multi-array, a number or a text.
class FeatureValue {
 public:
  FeatureValue(MultiArray array) : value_(std::move(array)) {}
  FeatureValue(double number) : value_(number) {}
  FeatureValue(std::string text) : value_(std::move(text)) {}
  // The multi-array, or nullptr when the feature is of another type.
  const MultiArray* multiArrayValue() const { return std::get_if<MultiArray>(&value_); }
  const double* doubleValue() const { return std::get_if<double>(&value_); }
  const std::string* stringValue() const { return std::get_if<std::string>(&value_); }

 private:
  std::variant<MultiArray, double, std::string> value_;
};

// Named features (a dictionary). Names are unique; `featureNames()` lists them in the order
// they were set, which callers must not rely on (the platform's order is unspecified).
class FeatureProvider {
 public:
  FeatureProvider() = default;
  // Sets (or replaces) the feature `name`.
  void set(const std::string& name, FeatureValue value);
  std::vector<std::string> featureNames() const;
  const FeatureValue* featureValue(const std::string& name) const;
  bool empty() const { return features_.empty(); }

 private:
  std::vector<std::pair<std::string, FeatureValue>> features_;
};

class Model {
 public:
  virtual ~Model() = default;
  // Runs the model on `input`. Safe to call from several threads at once.
  virtual Result<FeatureProvider> prediction(const FeatureProvider& input) = 0;
  virtual ModelConfiguration configuration() const = 0;
};

// Loads models.
class Runtime {
 public:
  virtual ~Runtime() = default;
  // `path` is the model's folder (a ".mlmodelc" or ".mlpackage").
  virtual Result<std::shared_ptr<Model>> loadModel(const std::string& path,
                                                   const ModelConfiguration& configuration) = 0;
};

// The installed runtime, else the OpenCV one (made on first use).
std::shared_ptr<Runtime> current();
// Tests install the simulated runtime; nullptr goes back to the OpenCV one.
void install(std::shared_ptr<Runtime> runtime);

// current()->loadModel(path, configuration).
Result<std::shared_ptr<Model>> loadModel(const std::string& path,
                                         const ModelConfiguration& configuration);

}  // namespace platform::ml
