#include "platform/ml/onnx_model.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <type_traits>

#include "platform/compute/compute.hpp"

namespace platform::ml {
namespace {

using nlohmann::json;

Error failure(ErrorCode code, std::string text) { return Error{code, std::move(text)}; }

bool isFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
bool isFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> filesEndingIn(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
          isFile(folder + "/" + name)) {
        names.push_back(name);
      }
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  std::ostringstream text;
  text << stream.rdbuf();
  if (stream.bad()) return std::nullopt;
  return text.str();
}

// A plain file name inside the model folder.
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

// log(Σ exp(vᵢ)) without overflow.
float logSumExp(const std::vector<float>& values) {
  const float top = *std::max_element(values.begin(), values.end());
  if (!std::isfinite(top)) return top;
  double sum = 0;
  for (const float value : values) sum += std::exp(static_cast<double>(value - top));
  return static_cast<float>(top + std::log(sum));
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

// [1, C, H, W] with every size positive: one image.
bool isOneImage(const std::vector<std::int64_t>& shape) {
  return shape.size() == 4 && shape[0] == 1 &&
         std::all_of(shape.begin(), shape.end(), [](std::int64_t size) { return size > 0; });
}

class OnnxModel : public Model {
 public:
  OnnxModel(std::vector<cv::dnn::Net> nets, ModelManifest manifest, ModelConfiguration configuration)
      : nets_(std::move(nets)), manifest_(std::move(manifest)), configuration_(configuration) {}

  ModelConfiguration configuration() const override { return configuration_; }

  Result<FeatureProvider> prediction(const FeatureProvider& input) override {
    const FeatureValue* feature = input.featureValue(manifest_.inputName);
    if (!feature) {
      return failure(ErrorCode::featureType,
                     "The input feature \"" + manifest_.inputName + "\" is missing");
    }
    const MultiArray* array = feature->multiArrayValue();
    if (!array) {
      return failure(ErrorCode::featureType,
                     "The input feature \"" + manifest_.inputName + "\" is not a multi-array");
    }
    if (!manifest_.inputShape.empty() && array->shape() != manifest_.inputShape) {
      return failure(ErrorCode::featureType, "The input feature \"" + manifest_.inputName +
                                                 "\" has shape " + shapeText(array->shape()) +
                                                 ", the model takes " +
                                                 shapeText(manifest_.inputShape));
    }
    if (manifest_.inputShape.empty() && !isOneImage(array->shape())) {
      // Nothing declares the network's input, and OpenCV does not fail cleanly on every
      // shape (it divides by zero on five dimensions): only one image reaches the network.
      return failure(ErrorCode::featureType, "The input feature \"" + manifest_.inputName +
                                                 "\" has shape " + shapeText(array->shape()) +
                                                 ", the model takes [1, C, H, W]");
    }
    try {
      std::optional<MultiArray> sum;
      for (std::size_t n = 0; n < nets_.size(); ++n) {
        const NetworkStage& stage = manifest_.networks[n];
        cv::Mat blob = networkInput(stage, *array);
        cv::Mat output;
        {
          // One network object is not safe to run from two threads at once.
          std::lock_guard<std::mutex> lock(mutex_);
          nets_[n].setInput(blob);
          output = stage.networkOutput.empty() ? nets_[n].forward() : nets_[n].forward(stage.networkOutput);
          output = output.clone();
        }
        auto answer = answerOf(output);
        if (!answer) return answer.error();
        if (!sum) {
          sum = std::move(answer.value());
        } else if (sum->count() != answer.value().count()) {
          return failure(ErrorCode::generic, "The networks of the model answer different numbers of values");
        } else {
          for (std::size_t i = 0; i < sum->count(); ++i) (*sum)[i] += answer.value()[i];
        }
      }
      const float count = static_cast<float>(nets_.size());
      for (std::size_t i = 0; i < sum->count(); ++i) (*sum)[i] /= count;
      FeatureProvider features;
      features.set(manifest_.outputName, std::move(*sum));
      return features;
    } catch (const cv::Exception& error) {
      return failure(ErrorCode::generic, std::string("The network failed: ") + error.what());
    } catch (const std::exception& error) {
      return failure(ErrorCode::generic, std::string("The network failed: ") + error.what());
    }
  }

 private:
  static cv::Mat networkInput(const NetworkStage& stage, const MultiArray& array) {
    const auto& shape = array.shape();
    if (!stage.adaptsInput()) {
      std::vector<int> sizes(shape.begin(), shape.end());
      cv::Mat blob(static_cast<int>(sizes.size()), sizes.data(), CV_32F);
      std::copy(array.data(), array.data() + array.count(), blob.ptr<float>());
      return blob;
    }
    const int channels = static_cast<int>(shape[1]);
    const int height = static_cast<int>(shape[2]);
    const int width = static_cast<int>(shape[3]);
    // The crop in whole pixels, at least one pixel, inside the input.
    const int x0 = std::clamp(static_cast<int>(std::lround(stage.crop[0] * width)), 0, width - 1);
    const int y0 = std::clamp(static_cast<int>(std::lround(stage.crop[1] * height)), 0, height - 1);
    const int cropWidth = std::clamp(static_cast<int>(std::lround(stage.crop[2] * width)), 1, width - x0);
    const int cropHeight = std::clamp(static_cast<int>(std::lround(stage.crop[3] * height)), 1, height - y0);
    const int outHeight = stage.resize ? (*stage.resize)[0] : cropHeight;
    const int outWidth = stage.resize ? (*stage.resize)[1] : cropWidth;
    const int outChannels = stage.channels.empty() ? channels : static_cast<int>(stage.channels.size());

    const int sizes[4] = {1, outChannels, outHeight, outWidth};
    cv::Mat blob(4, sizes, CV_32F);
    const std::size_t plane = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    for (int c = 0; c < outChannels; ++c) {
      const int source = stage.channels.empty() ? c : stage.channels[static_cast<std::size_t>(c)];
      cv::Mat input(height, width, CV_32F,
                    const_cast<float*>(array.data()) + static_cast<std::size_t>(source) * plane);
      cv::Mat region = input(cv::Rect(x0, y0, cropWidth, cropHeight));
      cv::Mat target(outHeight, outWidth, CV_32F, blob.ptr<float>(0, c));
      if (outHeight == cropHeight && outWidth == cropWidth) {
        region.copyTo(target);
      } else {
        const bool shrinks = outHeight < cropHeight || outWidth < cropWidth;
        cv::resize(region, target, cv::Size(outWidth, outHeight), 0, 0,
                   stage.areaInterpolation && shrinks ? cv::INTER_AREA : cv::INTER_LINEAR);
      }
      const double bias = stage.bias.empty() ? 0.0 : stage.bias[static_cast<std::size_t>(c)];
      target.convertTo(target, CV_32F, stage.scale, bias);
    }
    return blob;
  }

  // One network's answer: its output mapped through the manifest's elements, or as it is.
  Result<MultiArray> answerOf(const cv::Mat& output) const {
    const std::size_t total = output.total();
    const float* values = output.ptr<float>();
    std::optional<MultiArray> result;
    if (manifest_.elements) {
      const auto& elements = *manifest_.elements;
      result = MultiArray::make({1, static_cast<std::int64_t>(elements.size())});
      if (!result) return failure(ErrorCode::generic, "The output cannot be made");
      for (std::size_t k = 0; k < elements.size(); ++k) {
        std::vector<float> picked;
        for (const int index : elements[k]) {
          if (static_cast<std::size_t>(index) >= total) {
            return failure(ErrorCode::generic,
                           "The network gave " + std::to_string(total) +
                               " values; the manifest reads index " + std::to_string(index));
          }
          picked.push_back(values[index]);
        }
        (*result)[k] = picked.size() == 1 ? picked[0] : logSumExp(picked);
      }
    } else {
      std::vector<std::int64_t> shape;
      for (int d = 0; d < output.dims; ++d) shape.push_back(output.size[d]);
      result = MultiArray::make(shape);
      if (!result) return failure(ErrorCode::generic, "The output cannot be made");
      std::copy(values, values + total, result->data());
    }
    return std::move(*result);
  }

  std::vector<cv::dnn::Net> nets_;
  const ModelManifest manifest_;
  const ModelConfiguration configuration_;
  std::mutex mutex_;
};

// A number of the manifest as T; false for any other value, and for a number T cannot hold
// (converting it would be undefined, or would wrap round to another number).
template <class T>
bool readNumber(const json& value, T& out) {
  if (!value.is_number()) return false;
  if constexpr (std::is_integral_v<T>) {
    constexpr T least = std::numeric_limits<T>::min(), most = std::numeric_limits<T>::max();
    if (value.is_number_unsigned()) {
      if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(most)) return false;
    } else if (value.is_number_integer()) {
      const auto number = value.get<std::int64_t>();
      if (number < static_cast<std::int64_t>(least) || number > static_cast<std::int64_t>(most)) return false;
    } else {
      // Written with a fraction or an exponent: its whole part must fit.
      const double number = value.get<double>();
      if (!(number > static_cast<double>(least) - 1 && number < static_cast<double>(most) + 1)) return false;
    }
  }
  out = value.get<T>();
  return true;
}

// Reads a network's file name and its adaptation from `object`: the "input" object (with
// "network" and "network_output" passed in from beside it) or one entry of "networks".
// Returns what is wrong, or an empty text.
std::string readStage(const json& object, const json& network, const json& networkOutput,
                      NetworkStage& stage) {
  if (!network.is_string() || !isPlainFileName(network.get<std::string>())) {
    return "\"network\" must name a file in the model folder";
  }
  stage.network = network.get<std::string>();
  if (!networkOutput.is_null()) {
    if (!networkOutput.is_string()) return "network_output";
    stage.networkOutput = networkOutput.get<std::string>();
  }
  if (object.contains("crop")) {
    const json& crop = object["crop"];
    if (!crop.is_array() || crop.size() != 4) return "crop must be [x, y, width, height]";
    for (std::size_t i = 0; i < 4; ++i) {
      if (!readNumber(crop[i], stage.crop[i]) || !std::isfinite(stage.crop[i])) return "crop";
    }
    const auto& c = stage.crop;
    if (c[0] < 0 || c[1] < 0 || c[2] <= 0 || c[3] <= 0 || c[0] + c[2] > 1 + 1e-9 ||
        c[1] + c[3] > 1 + 1e-9) {
      return "crop must lie inside the input";
    }
  }
  if (object.contains("resize")) {
    const json& resize = object["resize"];
    std::array<int, 2> size{};
    if (!resize.is_array() || resize.size() != 2 || !readNumber(resize[0], size[0]) ||
        !readNumber(resize[1], size[1]) || size[0] <= 0 || size[1] <= 0 || size[0] > 65536 ||
        size[1] > 65536) {
      return "resize must be [height, width]";
    }
    stage.resize = size;
  }
  if (object.contains("interpolation")) {
    const json& interpolation = object["interpolation"];
    if (interpolation == "area") {
      stage.areaInterpolation = true;
    } else if (interpolation == "linear") {
      stage.areaInterpolation = false;
    } else {
      return "interpolation must be \"area\" or \"linear\"";
    }
  }
  if (object.contains("channels")) {
    const json& channels = object["channels"];
    if (!channels.is_array() || channels.empty()) return "channels";
    for (const json& channel : channels) {
      int value = 0;
      if (!readNumber(channel, value) || value < 0) return "channels";
      stage.channels.push_back(value);
    }
  }
  if (object.contains("scale") && (!readNumber(object["scale"], stage.scale) || !std::isfinite(stage.scale))) {
    return "scale";
  }
  if (object.contains("bias")) {
    const json& bias = object["bias"];
    if (!bias.is_array()) return "bias";
    for (const json& value : bias) {
      double number = 0;
      if (!readNumber(value, number) || !std::isfinite(number)) return "bias";
      stage.bias.push_back(number);
    }
  }
  return "";
}

}  // namespace

bool NetworkStage::adaptsInput() const {
  return crop != std::array<double, 4>{0, 0, 1, 1} || resize.has_value() || !channels.empty() ||
         scale != 1.0 || !bias.empty();
}

bool ModelManifest::adaptsInput() const {
  return std::any_of(networks.begin(), networks.end(),
                     [](const NetworkStage& stage) { return stage.adaptsInput(); });
}

Result<ModelManifest> ModelManifest::parse(const std::string& text) {
  const auto bad = [](const std::string& what) {
    return failure(ErrorCode::generic, "The model manifest is not valid: " + what);
  };
  json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) return bad("not a JSON object");
  if (!root.contains("format") || root["format"] != 1) return bad("unknown format");
  ModelManifest manifest;

  const json input = root.value("input", json::object());
  if (!input.is_object()) return bad("\"input\" must be an object");
  const json output = root.value("output", json::object());
  if (!output.is_object()) return bad("\"output\" must be an object");
  if (input.contains("name")) {
    if (!input["name"].is_string() || input["name"].get<std::string>().empty()) return bad("input name");
    manifest.inputName = input["name"].get<std::string>();
  }
  if (input.contains("shape")) {
    const json& shape = input["shape"];
    if (!shape.is_array() || shape.size() != 4) return bad("input shape must be [1, C, H, W]");
    for (const json& dimension : shape) {
      std::int64_t value = 0;
      if (!readNumber(dimension, value) || value <= 0 || value > 65536) return bad("input shape");
      manifest.inputShape.push_back(value);
    }
    if (manifest.inputShape[0] != 1) return bad("input shape must be [1, C, H, W]");
  }

  if (root.contains("networks")) {
    const json& networks = root["networks"];
    if (root.contains("network") || !networks.is_array() || networks.empty()) {
      return bad("give either \"network\" or a list of \"networks\"");
    }
    NetworkStage unused;
    if (!readStage(input, "n", nullptr, unused).empty() || unused.adaptsInput() ||
        output.contains("network_output")) {
      return bad("with several networks, each network holds its own adaptation");
    }
    for (const json& entry : networks) {
      if (!entry.is_object()) return bad("each of \"networks\" must be an object");
      NetworkStage stage;
      const std::string wrong = readStage(entry, entry.value("network", json()),
                                          entry.value("network_output", json()), stage);
      if (!wrong.empty()) return bad(wrong);
      manifest.networks.push_back(std::move(stage));
    }
  } else {
    NetworkStage stage;
    const std::string wrong = readStage(input, root.value("network", json()),
                                        output.value("network_output", json()), stage);
    if (!wrong.empty()) return bad(wrong);
    manifest.networks.push_back(std::move(stage));
  }
  for (const NetworkStage& stage : manifest.networks) {
    if (!stage.adaptsInput()) continue;
    // Adapting needs to know the planes it works on.
    if (manifest.inputShape.empty()) return bad("adapting the input needs its shape");
    const auto channels = static_cast<std::size_t>(manifest.inputShape[1]);
    for (const int channel : stage.channels) {
      if (static_cast<std::size_t>(channel) >= channels) return bad("channels name a missing input channel");
    }
    const std::size_t outChannels = stage.channels.empty() ? channels : stage.channels.size();
    if (!stage.bias.empty() && stage.bias.size() != outChannels) {
      return bad("bias needs one value per network channel");
    }
  }

  if (output.contains("name")) {
    if (!output["name"].is_string() || output["name"].get<std::string>().empty()) return bad("output name");
    manifest.outputName = output["name"].get<std::string>();
  }
  if (output.contains("elements")) {
    const json& elements = output["elements"];
    if (!elements.is_array() || elements.empty()) return bad("elements");
    std::vector<std::vector<int>> list;
    for (const json& element : elements) {
      if (!element.is_array() || element.empty()) return bad("each element lists at least one index");
      std::vector<int> indices;
      for (const json& index : element) {
        int value = 0;
        if (!readNumber(index, value) || value < 0) return bad("elements");
        indices.push_back(value);
      }
      list.push_back(std::move(indices));
    }
    manifest.elements = std::move(list);
  }
  return manifest;
}

Result<std::shared_ptr<Model>> OnnxRuntime::loadModel(const std::string& path,
                                                      const ModelConfiguration& configuration) {
  if (!isFolder(path)) {
    return failure(ErrorCode::io, "No model folder at " + path);
  }
  ModelManifest manifest;
  const std::string manifestPath = path + "/manifest.json";
  if (isFile(manifestPath)) {
    const auto text = readFile(manifestPath);
    if (!text) return failure(ErrorCode::io, "Cannot read " + manifestPath);
    auto parsed = ModelManifest::parse(*text);
    if (!parsed) return parsed.error();
    manifest = std::move(parsed.value());
  } else {
    const auto networks = filesEndingIn(path, ".onnx");
    if (networks.size() != 1) {
      return failure(ErrorCode::io, "The model folder " + path +
                                        " has no manifest and not exactly one ONNX file");
    }
    manifest.networks.push_back(NetworkStage{networks.front()});
  }
  platform::compute::limitThreads();
  std::vector<cv::dnn::Net> nets;
  for (const NetworkStage& stage : manifest.networks) {
    const std::string networkPath = path + "/" + stage.network;
    if (!isFile(networkPath)) return failure(ErrorCode::io, "No network file at " + networkPath);
    cv::dnn::Net net;
    try {
      net = cv::dnn::readNetFromONNX(networkPath);
    } catch (const cv::Exception& error) {
      return failure(ErrorCode::generic, "Cannot read the network " + networkPath + ": " + error.what());
    }
    if (net.empty()) return failure(ErrorCode::generic, "The network " + networkPath + " is empty");
    // OpenCV computes on the CPU whatever units the configuration allows.
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    nets.push_back(std::move(net));
  }

  auto model = std::make_shared<OnnxModel>(std::move(nets), manifest, configuration);
  if (!manifest.inputShape.empty()) {
    // Run once on zeros, so that a network that cannot take its declared input, or whose
    // output does not fit the manifest, fails to load rather than on every prediction.
    auto zeros = MultiArray::make(manifest.inputShape);
    if (!zeros) return failure(ErrorCode::generic, "The input shape is too large");
    FeatureProvider probe;
    probe.set(manifest.inputName, std::move(*zeros));
    auto answer = model->prediction(probe);
    if (!answer) {
      return failure(ErrorCode::generic,
                     "The model " + path + " does not run: " + answer.error().localizedDescription);
    }
  }
  return std::shared_ptr<Model>(std::move(model));
}

}  // namespace platform::ml
