// The OpenCV runtime: a model folder ("NAME.mlmodelc" or "NAME.mlpackage") holds an ONNX
// network run by OpenCV's dnn module, and optionally a manifest, "manifest.json", that adapts
// a third-party network to the input and output the application expects:
//
//   {
//     "format": 1,
//     "network": "file.onnx",            // the ONNX file in the folder
//     "input": {
//       "name": "input",                  // the one input feature's name
//       "shape": [1, 3, 128, 128],        // [1, channels, height, width] the caller provides
//       "crop": [0, 0, 1, 1],             // x, y, width, height in fractions of the input,
//                                         //   measured from the top-left corner (row 0 = top)
//       "resize": [80, 80],               // [height, width] the network takes
//       "interpolation": "area",          // "area" (default) or "linear"
//       "channels": [2, 1, 0],            // network channel c takes input channel channels[c]
//       "scale": 255.0,                   // network value = input value * scale + bias[c]
//       "bias": [0, 0, 0]
//     },
//     "output": {
//       "name": "output",                 // the one output feature's name
//       "network_output": "",             // the network's output to read; "" = its first
//       "elements": [[1], [0, 2]]         // element k = log-sum-exp of the network's values
//                                         //   at the listed flat indices (one index passes
//                                         //   the value through); absent = all values as they are
//     }
//   }
//
// The steps run in that order: crop, resize, channel order, scale and bias. Without a
// manifest the folder must hold exactly one ".onnx" file; the input "input" then goes to the
// network unchanged and the network's first output comes back as "output" with the
// network's shape. An input whose shape no manifest declares must be one image,
// [1, C, H, W].
//
// A model may instead run several networks on the same input and answer the mean of their
// answers: "networks" replaces "network", and each of its entries holds one network's file
// and its own adaptation (the keys "network", "crop", "resize", "interpolation", "channels",
// "scale", "bias" and "network_output" as above); "input" then gives only the name and shape.
// Each network's answer goes through "elements", then the answers are averaged element by
// element (for logits, the mean of the networks' log-odds).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/ml.hpp"

namespace platform::ml {

// One network of a model and how it takes the model's input.
struct NetworkStage {
  std::string network;  // file name inside the model folder
  std::array<double, 4> crop{0, 0, 1, 1};
  std::optional<std::array<int, 2>> resize;  // height, width
  bool areaInterpolation = true;
  std::vector<int> channels;  // empty = identity
  double scale = 1.0;
  std::vector<double> bias;  // empty = zeros
  std::string networkOutput;  // empty = the network's first output

  // Whether the stage changes the input (crop, resize, channels, scale or bias).
  bool adaptsInput() const;
};

struct ModelManifest {
  std::string inputName = "input";
  std::vector<std::int64_t> inputShape;  // [1, C, H, W]; empty = any shape, unchanged
  std::vector<NetworkStage> networks;    // one, or several whose answers are averaged
  std::string outputName = "output";
  std::optional<std::vector<std::vector<int>>> elements;

  // Reads and checks a manifest's text. Every failure names what is wrong.
  static Result<ModelManifest> parse(const std::string& text);
  // Whether any network's stage changes the input.
  bool adaptsInput() const;
};

class OnnxRuntime : public Runtime {
 public:
  Result<std::shared_ptr<Model>> loadModel(const std::string& path,
                                           const ModelConfiguration& configuration) override;
};

}  // namespace platform::ml
