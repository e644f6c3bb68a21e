// The developer diagnostics that run the recognition road on image files and print how far
// apart the descriptors are: "--diagnose-alignment" (photos: detect, align, embed with the
// dlib network, save the crops) and "--diagnose-on-native-crop" (ready-aligned crops: build
// the model input tensor, embed it through the model host). Both use the dlib engine's
// constants whatever engine the settings select.
//
// `args` is the process's whole argument list; every argument after the first occurrence of
// the switch is a file path. Each returns the process's exit status.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/recognition_engine.hpp"
#include "platform/ml/ml.hpp"
#include "recognition/match_engine.hpp"

namespace quorvel::diagnostics {

inline constexpr const char* kDiagnoseAlignmentSwitch = "--diagnose-alignment";
inline constexpr const char* kDiagnoseOnNativeCropSwitch = "--diagnose-on-native-crop";

// Where "--diagnose-alignment" loads dlib's weights, relative to the current directory.
inline constexpr const char* kDlibWeightsRelativePath =
    "tools/convert/dlib_face_recognition_resnet_model_v1.dat";
// Where it writes the crop of a photo: this prefix followed by the photo's file name.
inline constexpr const char* kAlignedCropPrefix = "/tmp/aligned_";

int runDiagnoseAlignment(const std::vector<std::string>& args, std::ostream& out);

int runDiagnoseOnNativeCrop(const std::vector<std::string>& args, std::ostream& out);

// The descriptor of a ready model input under an engine's constants (the model host's, by
// default).
using TensorEmbedder = std::function<std::optional<FaceDescriptor>(
    const platform::ml::MultiArray& input, const FaceEngineSpec& spec)>;
// The same diagnostic with another embedder (for tests of what it prints).
int runDiagnoseOnNativeCrop(const std::vector<std::string>& args, std::ostream& out,
                            const TensorEmbedder& embedder);

// The arguments after the first occurrence of `switchName` (none when it is absent).
std::vector<std::string> argumentsAfter(const std::vector<std::string>& args,
                                        const std::string& switchName);

}  // namespace quorvel::diagnostics
