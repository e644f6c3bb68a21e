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
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/ml.hpp"

namespace platform::ml {

struct ModelManifest {
  std::string network;  // file name inside the model folder
  std::string inputName = "input";
  std::vector<std::int64_t> inputShape;  // [1, C, H, W]; empty = any shape, unchanged
  std::array<double, 4> crop{0, 0, 1, 1};
  std::optional<std::array<int, 2>> resize;  // height, width
  bool areaInterpolation = true;
  std::vector<int> channels;  // empty = identity
  double scale = 1.0;
  std::vector<double> bias;  // empty = zeros
  std::string outputName = "output";
  std::string networkOutput;  // empty = the network's first output
  std::optional<std::vector<std::vector<int>>> elements;

  // Reads and checks a manifest's text. Every failure names what is wrong.
  static Result<ModelManifest> parse(const std::string& text);
  // Whether the manifest changes the input (crop, resize, channels, scale or bias).
  bool adaptsInput() const;
};

class OnnxRuntime : public Runtime {
 public:
  Result<std::shared_ptr<Model>> loadModel(const std::string& path,
                                           const ModelConfiguration& configuration) override;
};

}  // namespace platform::ml
