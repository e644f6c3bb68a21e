// The one place where the system runs its models: face descriptors with the selected engine
// (the native dlib network, or a recognition model) and liveness with the "MiniFAS" model.
// Models are found in the application bundle, loaded once under one lock and kept for the
// life of the process; predictions run outside the lock. Any failed load raises `loadFailed`,
// which never goes back to false.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/recognition_engine.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/ml/ml.hpp"
#include "platform/system/system_version.hpp"
#include "recognition/match_engine.hpp"

namespace quorvel {

// The compute units models run on, by operating-system version: the CPU alone above major
// version 26, every unit otherwise.
namespace CoreMLCompatibility {
platform::ml::ComputeUnits computeUnits(const platform::system::OperatingSystemVersion& version);
// For the running system.
platform::ml::ComputeUnits computeUnits();
}  // namespace CoreMLCompatibility

class FaceModels final : public std::enable_shared_from_this<FaceModels> {
 public:
  // The side of the liveness model's input, [1, 3, 128, 128].
  static constexpr std::int64_t kLivenessSide = 128;

  FaceModels() = default;
  static FaceModels& shared();

  // True once any load (the dlib weights or a model) has failed; never set back.
  bool loadFailed() const { return loadFailed_.load(); }

  // Loads the dlib weights now, on the caller's thread, then warms the recognition model of
  // the selected engine (when it is not dlib) and the liveness model on the user-initiated
  // global queue. Returns at once; the background step holds the instance weakly.
  void prewarm();

  // The descriptor of an aligned face with `spec`'s engine: dlib's 128 values (not
  // normalised) through the native bridge, else the spec's recognition model's output
  // (normalised when the spec says so). No value on any failure.
  std::optional<FaceDescriptor> embedding(const platform::image::Image& aligned,
                                          const FaceEngineSpec& spec,
                                          const platform::image::Context& context);
  // The descriptor from `spec`'s recognition model for a ready input array; no value for the
  // dlib engine, which has no such model.
  std::optional<FaceDescriptor> embedding(const platform::ml::MultiArray& input,
                                          const FaceEngineSpec& spec);

  // The probability (0 to 1) that the face in `input` — the unit-normalised wide square of
  // the frame, [1, 3, 128, 128] — is live: the softmax of class 0 over the model's first two
  // outputs. No value when the model cannot be loaded, the prediction fails or answers fewer
  // than two values.
  std::optional<float> liveness(const platform::ml::MultiArray& input);

  // `values` divided by their Euclidean length; unchanged when the length is 0.
  static std::vector<float> l2Normalised(std::vector<float> values);
  // The softmax probability of the first of two logits, without overflow; no value when it
  // is not a number (a logit that is not finite).
  static std::optional<float> softmaxFirst(float a, float b);

 private:
  void loadNativeDlibIfNeeded();
  std::shared_ptr<platform::ml::Model> recogniser(const FaceEngineSpec& spec);
  // Under lock_.
  std::shared_ptr<platform::ml::Model> load(const std::string& name);
  static std::optional<platform::ml::MultiArray> predict(platform::ml::Model& model,
                                                         const platform::ml::MultiArray& input);
  static std::vector<float> floats(const platform::ml::MultiArray& array);
  std::optional<FaceDescriptor> describe(const platform::ml::MultiArray& input,
                                         const FaceEngineSpec& spec);

  std::map<std::string, std::shared_ptr<platform::ml::Model>> recognisers_;
  std::shared_ptr<platform::ml::Model> spoofDetector_;
  std::mutex lock_;
  std::atomic<bool> loadFailed_{false};
};

}  // namespace quorvel
