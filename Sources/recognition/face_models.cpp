#include "recognition/face_models.hpp"

#include <cmath>

#include "foundation/log.hpp"
#include "foundation/settings.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/shared.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/native_dlib.hpp"

namespace quorvel {
namespace {

constexpr const char* kDlibModelName = "DlibFace";
constexpr const char* kDlibWeightsName = "dlib_face_recognition_resnet_model_v1";
constexpr const char* kLivenessModelName = "MiniFAS";

}  // namespace

namespace CoreMLCompatibility {

platform::ml::ComputeUnits computeUnits(const platform::system::OperatingSystemVersion& version) {
  return version.majorVersion > 26 ? platform::ml::ComputeUnits::cpuOnly
                                   : platform::ml::ComputeUnits::all;
}

platform::ml::ComputeUnits computeUnits() {
  return computeUnits(platform::system::operatingSystemVersion());
}

}  // namespace CoreMLCompatibility

FaceModels& FaceModels::shared() {
  static platform::SharedInstance<FaceModels> instance;
  return instance.get();
}

void FaceModels::loadNativeDlibIfNeeded() {
  if (NativeDlib::isLoaded()) return;
  const std::optional<std::string> path =
      platform::bundle::Bundle::main().url(kDlibWeightsName, "dat");
  if (!path) {
    loadFailed_ = true;
    Log::face().error("dlib's original weight file is missing from the bundle");
    return;
  }
  if (!NativeDlib::load(*path)) loadFailed_ = true;
}

std::shared_ptr<platform::ml::Model> FaceModels::load(const std::string& name) {
  const platform::bundle::Bundle& bundle = platform::bundle::Bundle::main();
  std::vector<std::string> candidates;
  for (const char* extension : {"mlmodelc", "mlpackage"}) {
    if (auto url = bundle.url(name, extension)) candidates.push_back(std::move(*url));
  }
  const platform::ml::ModelConfiguration configuration{CoreMLCompatibility::computeUnits()};
  for (const std::string& candidate : candidates) {
    auto loaded = platform::ml::loadModel(candidate, configuration);
    if (loaded && loaded.value()) return loaded.value();
  }
  loadFailed_ = true;
  Log::face().error("Could not load model %s", name);
  return nullptr;
}

std::shared_ptr<platform::ml::Model> FaceModels::recogniser(const FaceEngineSpec& spec) {
  std::lock_guard<std::mutex> guard(lock_);
  if (const auto found = recognisers_.find(spec.modelName); found != recognisers_.end()) {
    return found->second;
  }
  std::shared_ptr<platform::ml::Model> model = load(spec.modelName);
  if (model) recognisers_[spec.modelName] = model;
  return model;
}

std::optional<platform::ml::MultiArray> FaceModels::predict(
    platform::ml::Model& model, const platform::ml::MultiArray& input) {
  platform::ml::FeatureProvider features;
  features.set("input", input);
  platform::ml::Result<platform::ml::FeatureProvider> output = [&] {
    try {
      return model.prediction(features);
    } catch (...) {
      return platform::ml::Result<platform::ml::FeatureProvider>(
          platform::ml::Error{platform::ml::ErrorCode::generic, "The prediction threw"});
    }
  }();
  if (!output) return std::nullopt;
  for (const std::string& name : output.value().featureNames()) {
    const platform::ml::FeatureValue* value = output.value().featureValue(name);
    if (!value) continue;
    if (const platform::ml::MultiArray* array = value->multiArrayValue()) return *array;
  }
  return std::nullopt;
}

std::vector<float> FaceModels::floats(const platform::ml::MultiArray& array) {
  if (array.count() == 0) return {};
  return std::vector<float>(array.data(), array.data() + array.count());
}

std::vector<float> FaceModels::l2Normalised(std::vector<float> values) {
  float sum = 0;
  for (float v : values) sum += v * v;
  if (!(sum > 0)) return values;
  const float length = std::sqrt(sum);
  for (float& v : values) v /= length;
  return values;
}

std::optional<float> FaceModels::softmaxFirst(float a, float b) {
  const float m = a > b ? a : b;
  const float ea = std::exp(a - m);
  const float eb = std::exp(b - m);
  const float p = ea / (ea + eb);
  if (!std::isfinite(p)) return std::nullopt;
  return p;
}

std::optional<FaceDescriptor> FaceModels::describe(const platform::ml::MultiArray& input,
                                                   const FaceEngineSpec& spec) {
  const std::shared_ptr<platform::ml::Model> model = recogniser(spec);
  if (!model) return std::nullopt;
  const std::optional<platform::ml::MultiArray> output = predict(*model, input);
  if (!output) return std::nullopt;
  std::vector<float> descriptor = floats(*output);
  if (spec.normaliseDescriptor) descriptor = l2Normalised(std::move(descriptor));
  return descriptor;
}

std::optional<FaceDescriptor> FaceModels::embedding(const platform::image::Image& aligned,
                                                    const FaceEngineSpec& spec,
                                                    const platform::image::Context& context) {
  if (spec.modelName == kDlibModelName) {
    loadNativeDlibIfNeeded();
    return NativeDlib::embedding(aligned, context);
  }
  const std::optional<platform::ml::MultiArray> tensor = FaceTensors::shared().tensor(
      aligned, static_cast<int>(spec.inputSide), FaceTensors::Normalisation::forEngine(spec));
  if (!tensor) return std::nullopt;
  return describe(*tensor, spec);
}

std::optional<FaceDescriptor> FaceModels::embedding(const platform::ml::MultiArray& input,
                                                    const FaceEngineSpec& spec) {
  // The dlib engine's network is the native one, reached only through an image; its name
  // is never looked up as a model (that would only fail and raise `loadFailed`).
  if (spec.modelName == kDlibModelName) return std::nullopt;
  return describe(input, spec);
}

std::optional<float> FaceModels::liveness(const platform::ml::MultiArray& input) {
  std::shared_ptr<platform::ml::Model> model;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!spoofDetector_) {
      spoofDetector_ = load(kLivenessModelName);
      if (!spoofDetector_) return std::nullopt;
    }
    model = spoofDetector_;
  }
  const std::optional<platform::ml::MultiArray> output = predict(*model, input);
  if (!output || output->count() < 2) return std::nullopt;
  return softmaxFirst((*output)[0], (*output)[1]);
}

void FaceModels::prewarm() {
  loadNativeDlibIfNeeded();
  std::weak_ptr<FaceModels> weak = weak_from_this();
  platform::dispatch::globalQueue(platform::dispatch::QoS::UserInitiated).async([weak] {
    const std::shared_ptr<FaceModels> self = weak.lock();
    if (!self) return;
    const FaceEngineSpec& spec = quorvel::spec(Settings::shared().recognitionEngine());
    if (spec.modelName != kDlibModelName) {
      const auto input = platform::ml::MultiArray::make({1, 3, spec.inputSide, spec.inputSide});
      if (input) {
        if (const auto model = self->recogniser(spec)) {
          if (const auto output = predict(*model, *input)) {
            std::vector<float> descriptor = floats(*output);
            if (spec.normaliseDescriptor) descriptor = l2Normalised(std::move(descriptor));
            (void)descriptor;  // warming only: the result is discarded
          }
        }
      }
    }
    if (const auto input = platform::ml::MultiArray::make({1, 3, kLivenessSide, kLivenessSide})) {
      (void)self->liveness(*input);
    }
    Log::face().info("Models pre-warmed (loadFailed: %{bool}d)", self->loadFailed());
  });
}

}  // namespace quorvel
