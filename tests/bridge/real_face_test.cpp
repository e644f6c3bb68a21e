// Real faces through the bridge: dlib's own detector, 68-point shape and face chip make
// the 150 x 150 input, so this checks the converted weights recognise people, not just
// reproduce numbers. Photos: dlib's public-domain examples/johns (Debian libdlib19.1).

#include <gtest/gtest.h>

#include <dlib/image_io.h>
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bridge_test_support.hpp"
#include "recognition/bridge/dlib_bridge.hpp"

namespace quorvel::bridge_test {
namespace {

constexpr const char* kJohns = "/usr/share/doc/libdlib19.1/examples/johns";
constexpr const char* kShapePredictor = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
constexpr double kSamePersonThreshold = 0.6;

class RealFaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUORVEL_REQUIRE_WEIGHTS();
        ASSERT_TRUE(std::filesystem::is_directory(kJohns)) << kJohns << " is missing: install libdlib19.1";
        ASSERT_TRUE(std::filesystem::exists(kShapePredictor)) << kShapePredictor << " is missing: install libdlib-data";
        ASSERT_EQ(dlib_bridge_load(weightsPath().c_str()), 1);
        dlib::deserialize(kShapePredictor) >> shapes_;
    }

    // The descriptor of the largest face in the photo, or no value.
    std::optional<Descriptor> describe(const std::string& person, const std::string& file) {
        dlib::matrix<dlib::rgb_pixel> photo;
        dlib::load_image(photo, std::string(kJohns) + "/" + person + "/" + file);
        std::vector<dlib::rectangle> faces = detector_(photo);
        if (faces.empty()) {
            dlib::pyramid_up(photo);
            faces = detector_(photo);
        }
        if (faces.empty()) return std::nullopt;
        const dlib::rectangle face = *std::max_element(faces.begin(), faces.end(),
            [](const dlib::rectangle& a, const dlib::rectangle& b) { return a.area() < b.area(); });
        dlib::matrix<dlib::rgb_pixel> chip;
        dlib::extract_image_chip(photo, dlib::get_face_chip_details(shapes_(photo, face), kSide, 0.25), chip);

        Image bytes(kImageBytes);
        for (long r = 0; r < kSide; ++r) {
            for (long c = 0; c < kSide; ++c) {
                uint8_t* pixel = &bytes[size_t(r * kSide + c) * 3];
                pixel[0] = chip(r, c).red;
                pixel[1] = chip(r, c).green;
                pixel[2] = chip(r, c).blue;
            }
        }
        Descriptor out = sentinelDescriptor();
        if (dlib_bridge_embed(bytes.data(), out.data()) != 1) return std::nullopt;
        return out;
    }

    dlib::frontal_face_detector detector_ = dlib::get_frontal_face_detector();
    dlib::shape_predictor shapes_;
};

TEST_F(RealFaceTest, SamePersonIsCloseAndDifferentPeopleAreFar) {
    struct Photo { std::string person, file; };
    const std::vector<Photo> photos{
        {"John_Salley", "000179_02159509.jpg"}, {"John_Salley", "000190_02159501.jpg"},
        {"John_Simm", "000288_00470387.jpg"},   {"John_Simm", "000304_00470122.jpg"},
        {"John_Shimkus", "000373_03228153.jpg"}, {"John_Shimkus", "000385_03227766.jpg"},
    };
    std::vector<Descriptor> descriptors;
    for (const Photo& photo : photos) {
        const std::optional<Descriptor> d = describe(photo.person, photo.file);
        ASSERT_TRUE(d) << "no face described in " << photo.person << "/" << photo.file;
        descriptors.push_back(*d);
    }
    for (size_t a = 0; a < photos.size(); ++a) {
        for (size_t b = a + 1; b < photos.size(); ++b) {
            const double d = distance(descriptors[a], descriptors[b]);
            SCOPED_TRACE(photos[a].file + " vs " + photos[b].file);
            if (photos[a].person == photos[b].person) EXPECT_LT(d, kSamePersonThreshold);
            else EXPECT_GT(d, kSamePersonThreshold);
        }
    }
}

}  // namespace
}  // namespace quorvel::bridge_test
