// Decoding TensorFlow.js weight manifests and fitting the tensors to dlib's network type.
// The converted file's descriptors are checked against reference values in tests/bridge.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "../../tools/convert/face_api_weights.hpp"

namespace quorvel::convert {
namespace {

using Bytes = std::vector<uint8_t>;
using json = nlohmann::json;

void appendFloat(Bytes& bytes, float value) {
    uint8_t raw[4];
    std::memcpy(raw, &value, 4);
    bytes.insert(bytes.end(), raw, raw + 4);
}

ShardReader shards(std::map<std::string, Bytes> files) {
    return [files = std::move(files)](const std::string& path) -> std::optional<Bytes> {
        const auto it = files.find(path);
        return it == files.end() ? std::nullopt : std::optional<Bytes>(it->second);
    };
}

json quantised(const std::string& name, std::vector<long> shape, const std::string& qtype,
               double scale, double minimum) {
    return {{"name", name}, {"shape", shape}, {"dtype", "float32"},
            {"quantization", {{"dtype", qtype}, {"scale", scale}, {"min", minimum}}}};
}

json plain(const std::string& name, std::vector<long> shape) {
    return {{"name", name}, {"shape", shape}, {"dtype", "float32"}};
}

// Each group reads its own shards; a group's tensors lie back to back across its shards.
TEST(DecodeTensorsTest, ReadsQuantisedAndPlainTensorsBackToBackAcrossShards) {
    const json manifest = json::array(
        {{{"paths", {"a.bin", "b.bin"}},
          {"weights", {quantised("q8", {2, 2}, "uint8", 0.5, -1.0), plain("f", {3}),
                       quantised("q16", {2}, "uint16", 0.25, 0.0)}}},
         {{"paths", {"c.bin"}}, {"weights", {plain("y", {1})}}}});
    Bytes data{0, 1, 2, 255};
    appendFloat(data, 1.5f);
    appendFloat(data, -2.25f);
    appendFloat(data, 3e-8f);
    data.insert(data.end(), {1, 0, 0x01, 0x02});  // 1 and 513, little-endian
    // The shard boundary falls inside the float tensor.
    const Bytes first(data.begin(), data.begin() + 6), second(data.begin() + 6, data.end());
    Bytes third;
    appendFloat(third, 2.0f);

    const TensorsResult result =
        decodeTensors(manifest, shards({{"a.bin", first}, {"b.bin", second}, {"c.bin", third}}));
    ASSERT_TRUE(result.ok()) << result.error;
    ASSERT_EQ(result.tensors.size(), 4u);
    EXPECT_EQ(result.tensors.at("q8").shape, (std::vector<long>{2, 2}));
    EXPECT_EQ(result.tensors.at("q8").values, (std::vector<float>{-1.0f, -0.5f, 0.0f, 126.5f}));
    EXPECT_EQ(result.tensors.at("f").values, (std::vector<float>{1.5f, -2.25f, 3e-8f}));
    EXPECT_EQ(result.tensors.at("q16").values, (std::vector<float>{0.25f, 128.25f}));
    EXPECT_EQ(result.tensors.at("y").values, std::vector<float>{2.0f});
}

TEST(DecodeTensorsTest, RefusesManifestsThatDoNotMatchTheirData) {
    struct Case {
        const char* what;
        json manifest;
        Bytes data;
        const char* errorMentions;
    };
    const auto with = [](json weights) {
        return json::array({{{"paths", {"w.bin"}}, {"weights", std::move(weights)}}});
    };
    const std::vector<Case> cases{
        {"not a list", json::object(), {}, "not a list"},
        {"group without paths", json::array({{{"weights", json::array()}}}), {}, "paths"},
        {"missing shard", json::array({{{"paths", {"gone.bin"}}, {"weights", json::array()}}}), {},
         "gone.bin"},
        {"data too short", with({plain("short", {2})}), Bytes(7), "short"},
        {"data left over", with({quantised("w", {2}, "uint8", 1, 0)}), Bytes(3), "after the last"},
        {"unsupported dtype", with({{{"name", "ints"}, {"shape", {1}}, {"dtype", "int32"}}}),
         Bytes(4), "ints"},
        {"unsupported quantisation", with({quantised("half", {1}, "float16", 1, 0)}), Bytes(2),
         "half"},
        {"quantisation without scale",
         with({{{"name", "noscale"}, {"shape", {1}}, {"dtype", "float32"},
                {"quantization", {{"dtype", "uint8"}, {"min", 0}}}}}),
         Bytes(1), "noscale"},
        {"negative dimension", with({plain("neg", {-1})}), {}, "neg"},
        {"name twice", with({quantised("twice", {1}, "uint8", 1, 0), quantised("twice", {1}, "uint8", 1, 0)}),
         Bytes(2), "twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TensorsResult result = decodeTensors(c.manifest, shards({{"w.bin", c.data}}));
        EXPECT_FALSE(result.ok());
        EXPECT_NE(result.error.find(c.errorMentions), std::string::npos) << result.error;
        EXPECT_TRUE(result.tensors.empty());
    }
}

TEST(ReadTensorsFromFilesTest, ReadsShardsBesideTheManifestAndReportsBadFiles) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("quorvel-convert-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder / name, std::ios::binary) << text;
    };
    write("m.json", R"([{"paths":["s.bin"],"weights":[{"name":"w","shape":[2],"dtype":"float32",
                        "quantization":{"dtype":"uint8","scale":2,"min":1}}]}])");
    write("s.bin", std::string("\x03\x04", 2));
    write("broken.json", "[{");

    const TensorsResult good = readTensorsFromFiles((folder / "m.json").string());
    ASSERT_TRUE(good.ok()) << good.error;
    EXPECT_EQ(good.tensors.at("w").values, (std::vector<float>{7.0f, 9.0f}));

    const TensorsResult broken = readTensorsFromFiles((folder / "broken.json").string());
    EXPECT_NE(broken.error.find("not valid JSON"), std::string::npos) << broken.error;
    const TensorsResult missing = readTensorsFromFiles((folder / "none.json").string());
    EXPECT_NE(missing.error.find("cannot open"), std::string::npos) << missing.error;

    std::filesystem::remove_all(folder);
}

TEST(FilterOrderTest, MovesEachWeightToDlibsOutputInputRowColumnPlace) {
    const long kh = 2, kw = 3, in = 4, out = 5;
    Tensor filter{{kh, kw, in, out}, {}};
    // Each value names its own coordinates: 1000 o + 100 i + 10 y + x.
    for (long y = 0; y < kh; ++y)
        for (long x = 0; x < kw; ++x)
            for (long i = 0; i < in; ++i)
                for (long o = 0; o < out; ++o) filter.values.push_back(float(1000 * o + 100 * i + 10 * y + x));

    const std::vector<float> dlib = filterToDlibOrder(filter);
    ASSERT_EQ(dlib.size(), filter.values.size());
    size_t index = 0;
    for (long o = 0; o < out; ++o)
        for (long i = 0; i < in; ++i)
            for (long y = 0; y < kh; ++y)
                for (long x = 0; x < kw; ++x, ++index)
                    ASSERT_EQ(dlib[index], float(1000 * o + 100 * i + 10 * y + x)) << index;
}

// Tensors of the right names and shapes for the whole network, each filled with `value`.
TensorMap completeTensors(float value) {
    TensorMap tensors;
    const auto add = [&](const std::string& name, std::vector<long> shape) {
        long count = 1;
        for (long d : shape) count *= d;
        tensors[name] = Tensor{shape, std::vector<float>(size_t(count), value)};
    };
    const auto layer = [&](const std::string& prefix, long size, long in, long out) {
        add(prefix + "/conv/filters", {size, size, in, out});
        add(prefix + "/conv/bias", {out});
        add(prefix + "/scale/weights", {out});
        add(prefix + "/scale/biases", {out});
    };
    const auto block = [&](const std::string& prefix, long in, long out) {
        layer(prefix + "/conv1", 3, in, out);
        layer(prefix + "/conv2", 3, out, out);
    };
    layer("conv32_down", 7, 3, 32);
    for (const char* p : {"conv32_1", "conv32_2", "conv32_3"}) block(p, 32, 32);
    block("conv64_down", 32, 64);
    for (const char* p : {"conv64_1", "conv64_2", "conv64_3"}) block(p, 64, 64);
    block("conv128_down", 64, 128);
    for (const char* p : {"conv128_1", "conv128_2"}) block(p, 128, 128);
    block("conv256_down", 128, 256);
    for (const char* p : {"conv256_1", "conv256_2"}) block(p, 256, 256);
    block("conv256_down_out", 256, 256);
    add("fc", {256, 128});
    return tensors;
}

TEST(FillNetworkTest, AcceptsExactlyTheNetworksTensorsAndNamesOneThatDoesNotFit) {
    TensorMap tensors = completeTensors(0.01f);
    for (size_t i = 0; i < tensors.at("fc").values.size(); ++i) tensors.at("fc").values[i] = float(i);
    auto net = std::make_unique<dlib_net::anet_type>();
    ASSERT_EQ(fillNetwork(*net, tensors), "");
    // fc is stored inputs x outputs in both, so it is copied as it is.
    const dlib::tensor& fc = dlib::layer<1>(*net).layer_details().get_layer_params();
    ASSERT_EQ(fc.size(), tensors.at("fc").values.size());
    EXPECT_TRUE(std::equal(fc.host(), fc.host() + fc.size(), tensors.at("fc").values.begin()));

    struct Case {
        const char* what;
        void (*change)(TensorMap&);
        const char* errorMentions;
    };
    const std::vector<Case> cases{
        {"missing", [](TensorMap& t) { t.erase("conv128_1/conv2/scale/biases"); },
         "conv128_1/conv2/scale/biases"},
        {"transposed filter", [](TensorMap& t) { t.at("conv64_down/conv1/conv/filters").shape = {3, 3, 64, 32}; },
         "conv64_down/conv1/conv/filters"},
        {"fc the other way round", [](TensorMap& t) { t.at("fc").shape = {128, 256}; }, "fc"},
        {"extra", [](TensorMap& t) { t["conv512_1/conv1/conv/bias"] = Tensor{{1}, {0.0f}}; },
         "conv512_1/conv1/conv/bias"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TensorMap changed = completeTensors(0.0f);
        c.change(changed);
        const std::string error = fillNetwork(*std::make_unique<dlib_net::anet_type>(), changed);
        EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace quorvel::convert
