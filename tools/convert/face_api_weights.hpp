// Reading the face-recognition ResNet's weights as published for TensorFlow.js (a JSON
// weights manifest plus binary shards) and filling dlib's network type with them.
//
// Header only, so that the converter and its tests share it without a library of
// their own.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "recognition/bridge/dlib_network.hpp"

namespace quorvel::convert {

static_assert(std::endian::native == std::endian::little,
              "weight shards hold little-endian floats");

// One decoded tensor: its shape as the manifest states it and its values in the
// manifest's (row-major) order.
struct Tensor {
    std::vector<long> shape;
    std::vector<float> values;
};

using TensorMap = std::map<std::string, Tensor>;

// Decoded tensors, or the reason they could not be decoded (error non-empty).
struct TensorsResult {
    TensorMap tensors;
    std::string error;
    bool ok() const { return error.empty(); }
};

// Reads one shard named in the manifest; no value when it cannot be read.
using ShardReader = std::function<std::optional<std::vector<uint8_t>>(const std::string& path)>;

namespace detail {

inline std::optional<long> elementCount(const std::vector<long>& shape) {
    long count = 1;
    for (long dimension : shape) {
        if (dimension < 0) {
            return std::nullopt;
        }
        if (dimension != 0 && count > std::numeric_limits<long>::max() / dimension) {
            return std::nullopt;
        }
        count *= dimension;
    }
    return count;
}

inline std::string shapeText(const std::vector<long>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(shape[i]);
    }
    return text + "]";
}

// Decodes the tensors of one manifest group from its concatenated shards.
inline std::string decodeGroup(const nlohmann::json& group, const std::vector<uint8_t>& bytes,
                               TensorMap& tensors) {
    const auto weights = group.find("weights");
    if (weights == group.end() || !weights->is_array()) {
        return "a manifest group has no \"weights\" list";
    }
    size_t offset = 0;
    for (const nlohmann::json& entry : *weights) {
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
            return "a manifest weight has no name";
        }
        const std::string name = entry["name"].get<std::string>();
        if (!entry.contains("shape") || !entry["shape"].is_array()) {
            return "weight " + name + " has no shape";
        }
        Tensor tensor;
        for (const nlohmann::json& dimension : entry["shape"]) {
            if (!dimension.is_number_integer() || dimension.get<long>() < 0) {
                return "weight " + name + " has an invalid shape";
            }
            tensor.shape.push_back(dimension.get<long>());
        }
        const std::optional<long> count = elementCount(tensor.shape);
        if (!count) {
            return "weight " + name + " has an invalid shape";
        }
        const std::string dtype = entry.value("dtype", std::string());
        if (dtype != "float32") {
            return "weight " + name + " has unsupported dtype \"" + dtype + "\"";
        }

        size_t bytesPerValue = 4;
        std::optional<std::pair<double, double>> quantization;  // (scale, min)
        if (entry.contains("quantization")) {
            const nlohmann::json& q = entry["quantization"];
            const std::string qtype = q.is_object() ? q.value("dtype", std::string()) : "";
            if (qtype == "uint8") {
                bytesPerValue = 1;
            } else if (qtype == "uint16") {
                bytesPerValue = 2;
            } else {
                return "weight " + name + " has unsupported quantization \"" + qtype + "\"";
            }
            if (!q.contains("scale") || !q["scale"].is_number() || !q.contains("min") ||
                !q["min"].is_number()) {
                return "weight " + name + " has no quantization scale and min";
            }
            const double scale = q["scale"].get<double>();
            const double minimum = q["min"].get<double>();
            if (!std::isfinite(scale) || !std::isfinite(minimum)) {
                return "weight " + name + " has a non-finite quantization scale or min";
            }
            quantization = std::make_pair(scale, minimum);
        }

        const size_t valueCount = static_cast<size_t>(*count);
        if (valueCount > (bytes.size() - offset) / bytesPerValue) {
            return "the weight data ends inside weight " + name;
        }
        tensor.values.resize(valueCount);
        const uint8_t* data = bytes.data() + offset;
        for (size_t i = 0; i < valueCount; ++i) {
            if (!quantization) {
                std::memcpy(&tensor.values[i], data + 4 * i, 4);
                continue;
            }
            uint32_t q = data[bytesPerValue * i];
            if (bytesPerValue == 2) {
                q |= static_cast<uint32_t>(data[2 * i + 1]) << 8;
            }
            // value = min + scale x q, worked out in double and stored as float32, as
            // TensorFlow.js dequantises.
            tensor.values[i] =
                static_cast<float>(quantization->second + quantization->first * q);
        }
        offset += valueCount * bytesPerValue;

        if (!tensors.emplace(name, std::move(tensor)).second) {
            return "weight " + name + " appears twice in the manifest";
        }
    }
    if (offset != bytes.size()) {
        return "the weight data has " + std::to_string(bytes.size() - offset) +
               " bytes after the last weight";
    }
    return {};
}

}  // namespace detail

// Decodes every tensor of a TensorFlow.js weights manifest. Each group's shards hold its
// tensors back to back in manifest order: float32 as is, quantised ones as
// value = min + scale x q.
inline TensorsResult decodeTensors(const nlohmann::json& manifest, const ShardReader& readShard) {
    TensorsResult result;
    if (!manifest.is_array()) {
        result.error = "the manifest is not a list of weight groups";
        return result;
    }
    for (const nlohmann::json& group : manifest) {
        if (!group.is_object() || !group.contains("paths") || !group["paths"].is_array()) {
            result.error = "a manifest group has no \"paths\" list";
            return result;
        }
        std::vector<uint8_t> bytes;
        for (const nlohmann::json& path : group["paths"]) {
            if (!path.is_string()) {
                result.error = "a manifest group has a path that is not a string";
                return result;
            }
            std::optional<std::vector<uint8_t>> shard = readShard(path.get<std::string>());
            if (!shard) {
                result.error = "cannot read weight shard " + path.get<std::string>();
                return result;
            }
            bytes.insert(bytes.end(), shard->begin(), shard->end());
        }
        result.error = detail::decodeGroup(group, bytes, result.tensors);
        if (!result.ok()) {
            result.tensors.clear();
            return result;
        }
    }
    return result;
}

// Reads a manifest file and the shards it names from the manifest's folder.
inline TensorsResult readTensorsFromFiles(const std::string& manifestPath) {
    TensorsResult result;
    std::ifstream in(manifestPath);
    if (!in) {
        result.error = "cannot open " + manifestPath;
        return result;
    }
    const nlohmann::json manifest = nlohmann::json::parse(in, nullptr, false);
    if (manifest.is_discarded()) {
        result.error = manifestPath + " is not valid JSON";
        return result;
    }
    const size_t slash = manifestPath.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : manifestPath.substr(0, slash + 1);
    return decodeTensors(manifest, [&](const std::string& path)
                                       -> std::optional<std::vector<uint8_t>> {
        std::ifstream shard(folder + path, std::ios::binary);
        if (!shard) {
            return std::nullopt;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(shard)),
                                   std::istreambuf_iterator<char>());
        if (shard.bad()) {
            return std::nullopt;
        }
        return bytes;
    });
}

// A convolution filter stored [kh, kw, in, out] rearranged to dlib's [out, in, kh, kw].
inline std::vector<float> filterToDlibOrder(const Tensor& filter) {
    const long kh = filter.shape.at(0), kw = filter.shape.at(1);
    const long in = filter.shape.at(2), out = filter.shape.at(3);
    std::vector<float> result(filter.values.size());
    for (long o = 0; o < out; ++o)
        for (long i = 0; i < in; ++i)
            for (long y = 0; y < kh; ++y)
                for (long x = 0; x < kw; ++x)
                    result[((o * in + i) * kh + y) * kw + x] =
                        filter.values[((y * kw + x) * in + i) * out + o];
    return result;
}

// The names of the 29 convolution + scale pairs, from the input towards the output.
inline std::vector<std::string> convolutionNames() {
    std::vector<std::string> names{"conv32_down"};
    const auto block = [&](const std::string& prefix) {
        names.push_back(prefix + "/conv1");
        names.push_back(prefix + "/conv2");
    };
    for (const char* prefix : {"conv32_1", "conv32_2", "conv32_3", "conv64_down", "conv64_1",
                               "conv64_2", "conv64_3", "conv128_down", "conv128_1",
                               "conv128_2", "conv256_down", "conv256_1", "conv256_2",
                               "conv256_down_out"}) {
        block(prefix);
    }
    return names;
}

inline constexpr const char* kFullyConnectedName = "fc";

namespace detail {

template <typename T> struct is_con : std::false_type {};
template <long N, long R, long C, int SY, int SX, int PY, int PX>
struct is_con<dlib::con_<N, R, C, SY, SX, PY, PX>> : std::true_type {};

template <typename T> struct is_fc : std::false_type {};
template <unsigned long N, dlib::fc_bias_mode B>
struct is_fc<dlib::fc_<N, B>> : std::true_type {};

struct ConvolutionSlot {
    dlib::tensor* params;
    long filters, rows, columns, inputs;
    bool bias;
};

inline const Tensor* find(const TensorMap& tensors, const std::string& name,
                          std::set<std::string>& used, std::string& error) {
    const auto it = tensors.find(name);
    if (it == tensors.end()) {
        error = "the weights have no tensor " + name;
        return nullptr;
    }
    used.insert(name);
    return &it->second;
}

inline bool expectShape(const std::string& name, const Tensor& tensor,
                        const std::vector<long>& shape, std::string& error) {
    if (tensor.shape != shape) {
        error = "tensor " + name + " has shape " + shapeText(tensor.shape) + ", the network needs " +
                shapeText(shape);
        return false;
    }
    return true;
}

}  // namespace detail

// Fills `net` (freshly constructed) with the given tensors. Returns an empty string on
// success, otherwise why the tensors do not fit the network; `net` is then unusable.
inline std::string fillNetwork(dlib_net::anet_type& net, const TensorMap& tensors) {
    // The scale layers are per-channel; dlib's affine_ defaults to per-element.
    dlib::visit_computational_layers(net, [](auto& layer) {
        if constexpr (std::is_same_v<std::decay_t<decltype(layer)>, dlib::affine_>) {
            layer = dlib::affine_(dlib::CONV_MODE);
        }
    });
    // dlib sizes each layer's parameters on the first forward pass.
    dlib::matrix<dlib::rgb_pixel> blank(dlib_net::kInputSide, dlib_net::kInputSide);
    dlib::assign_all_pixels(blank, dlib::rgb_pixel(0, 0, 0));
    net(blank);

    std::vector<detail::ConvolutionSlot> convolutions;
    std::vector<dlib::affine_*> scales;
    std::vector<dlib::tensor*> fullyConnected;
    dlib::visit_computational_layers(net, [&](auto& layer) {
        using Layer = std::decay_t<decltype(layer)>;
        if constexpr (detail::is_con<Layer>::value) {
            dlib::tensor& params = layer.get_layer_params();
            const long filters = layer.num_filters();
            const long bias = layer.bias_is_disabled() ? 0 : filters;
            const long perInput = filters * layer.nr() * layer.nc();
            convolutions.push_back({&params, filters, layer.nr(), layer.nc(),
                                    (static_cast<long>(params.size()) - bias) / perInput,
                                    bias != 0});
        } else if constexpr (std::is_same_v<Layer, dlib::affine_>) {
            scales.push_back(&layer);
        } else if constexpr (detail::is_fc<Layer>::value) {
            fullyConnected.push_back(&layer.get_layer_params());
        }
    });
    // dlib visits from the output; the names run from the input.
    std::reverse(convolutions.begin(), convolutions.end());
    std::reverse(scales.begin(), scales.end());

    const std::vector<std::string> names = convolutionNames();
    if (convolutions.size() != names.size() || scales.size() != names.size() ||
        fullyConnected.size() != 1) {
        return "the network type does not have the expected layers";
    }

    std::string error;
    std::set<std::string> used;
    for (size_t index = 0; index < names.size(); ++index) {
        const std::string& prefix = names[index];
        const detail::ConvolutionSlot& conv = convolutions[index];
        if (!conv.bias) {
            return "convolution " + prefix + " has no bias in the network";
        }
        const std::string filterName = prefix + "/conv/filters";
        const std::string biasName = prefix + "/conv/bias";
        const std::string gammaName = prefix + "/scale/weights";
        const std::string betaName = prefix + "/scale/biases";
        const Tensor* filter = detail::find(tensors, filterName, used, error);
        const Tensor* bias = filter ? detail::find(tensors, biasName, used, error) : nullptr;
        const Tensor* gamma = bias ? detail::find(tensors, gammaName, used, error) : nullptr;
        const Tensor* beta = gamma ? detail::find(tensors, betaName, used, error) : nullptr;
        if (!beta) {
            return error;
        }
        if (!detail::expectShape(filterName, *filter,
                                 {conv.rows, conv.columns, conv.inputs, conv.filters}, error) ||
            !detail::expectShape(biasName, *bias, {conv.filters}, error) ||
            !detail::expectShape(gammaName, *gamma, {conv.filters}, error) ||
            !detail::expectShape(betaName, *beta, {conv.filters}, error)) {
            return error;
        }
        // affine_ keeps gamma and beta out of its trainable parameters; they are reached
        // through their own accessors.
        auto gammaParams = scales[index]->get_gamma();
        auto betaParams = scales[index]->get_beta();
        if (static_cast<long>(gammaParams.size()) != conv.filters ||
            static_cast<long>(betaParams.size()) != conv.filters) {
            return "scale layer " + prefix + " is not per channel in the network";
        }

        const std::vector<float> filterValues = filterToDlibOrder(*filter);
        float* convParams = conv.params->host();
        std::copy(filterValues.begin(), filterValues.end(), convParams);
        std::copy(bias->values.begin(), bias->values.end(), convParams + filterValues.size());

        std::copy(gamma->values.begin(), gamma->values.end(), gammaParams.host());
        std::copy(beta->values.begin(), beta->values.end(), betaParams.host());
    }

    const Tensor* fc = detail::find(tensors, kFullyConnectedName, used, error);
    if (!fc) {
        return error;
    }
    const long outputs = dlib_net::kDescriptorLength;
    const long inputs = static_cast<long>(fullyConnected[0]->size()) / outputs;
    if (!detail::expectShape(kFullyConnectedName, *fc, {inputs, outputs}, error)) {
        return error;
    }
    // Both are stored inputs x outputs: copied as they are.
    std::copy(fc->values.begin(), fc->values.end(), fullyConnected[0]->host());

    for (const auto& [name, tensor] : tensors) {
        if (!used.count(name)) {
            return "the weights have a tensor the network does not use: " + name;
        }
    }
    return {};
}

}  // namespace quorvel::convert
