// A model package's manifest (manifest.json beside the ONNX networks): what parses is a
// manifest the runtime can adapt its input with.
#include "fuzz_input.hpp"
#include "platform/ml/onnx_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parsed =
      platform::ml::ModelManifest::parse(std::string(reinterpret_cast<const char*>(data), size));
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().localizedDescription.empty());
    return 0;
  }
  const platform::ml::ModelManifest& manifest = parsed.value();
  FUZZ_CHECK(!manifest.networks.empty() && !manifest.inputName.empty() && !manifest.outputName.empty());
  FUZZ_CHECK(manifest.inputShape.empty() || manifest.inputShape.size() == 4);
  for (const auto& stage : manifest.networks) {
    FUZZ_CHECK(!stage.network.empty() && stage.network.find('/') == std::string::npos);
    if (!stage.adaptsInput()) continue;
    FUZZ_CHECK(!manifest.inputShape.empty());
    for (const int channel : stage.channels) FUZZ_CHECK(channel >= 0 && channel < manifest.inputShape[1]);
  }
  return 0;
}
