// Shared by the bridge's tests: where the converted weights are, the test images and the
// descriptor arithmetic.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace quorvel::bridge_test {

inline constexpr int kSide = 150;
inline constexpr size_t kImageBytes = 67'500;
inline constexpr size_t kDescriptorLength = 128;

using Image = std::vector<uint8_t>;
using Descriptor = std::array<float, kDescriptorLength>;

inline std::string weightsPath() {
    return QUORVEL_SOURCE_DIR "/tools/convert/dlib_face_recognition_resnet_model_v1.dat";
}

// A missing weight file fails the test that needs it; it is never skipped.
#define QUORVEL_REQUIRE_WEIGHTS()                                                          \
    do {                                                                                   \
        if (!std::filesystem::exists(::quorvel::bridge_test::weightsPath())) {             \
            GTEST_FAIL() << "missing " << ::quorvel::bridge_test::weightsPath()            \
                         << ": run scripts/make-dlib-weights to make it";                  \
        }                                                                                  \
    } while (false)

// 150 x 150 RGB, top row first, rows packed.
inline Image uniformImage(uint8_t red, uint8_t green, uint8_t blue) {
    Image image(kImageBytes);
    for (size_t i = 0; i < kImageBytes; i += 3) {
        image[i] = red;
        image[i + 1] = green;
        image[i + 2] = blue;
    }
    return image;
}

// Pixel (row r, column c) = (r*255/149, c*255/149, (r+c)*255/298), in integers: red
// follows the rows and green the columns, so a swapped axis or channel order shows.
inline Image gradientImage() {
    Image image(kImageBytes);
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            uint8_t* pixel = &image[static_cast<size_t>(r * kSide + c) * 3];
            pixel[0] = static_cast<uint8_t>(r * 255 / 149);
            pixel[1] = static_cast<uint8_t>(c * 255 / 149);
            pixel[2] = static_cast<uint8_t>((r + c) * 255 / 298);
        }
    }
    return image;
}

inline double length(const Descriptor& d) {
    double sum = 0;
    for (float v : d) sum += double(v) * v;
    return std::sqrt(sum);
}

inline double distance(const Descriptor& a, const Descriptor& b) {
    double sum = 0;
    for (size_t i = 0; i < kDescriptorLength; ++i) sum += double(a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

// A descriptor buffer filled with a value no network produces, to see whether it was written.
inline Descriptor sentinelDescriptor() {
    Descriptor d;
    d.fill(-12345.0f);
    return d;
}

// A file in the temporary folder, removed when it goes out of scope.
class TempFile {
public:
    explicit TempFile(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                ("quorvel-bridge-" + std::to_string(::getpid()) + "-" + name)) {}
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string string() const { return path_.string(); }

    void write(const std::vector<char>& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

private:
    std::filesystem::path path_;
};

inline std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace quorvel::bridge_test
