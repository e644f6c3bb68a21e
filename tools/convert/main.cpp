// quorvel_convert: writes dlib's face-recognition network file from the network's weights
// as published for TensorFlow.js.
//
//   quorvel_convert MANIFEST OUTPUT
//
// MANIFEST is face_recognition_model-weights_manifest.json; the shards it names are read
// from its folder. OUTPUT (dlib_face_recognition_resnet_model_v1.dat) is written whole or
// not at all: the network goes to OUTPUT.partial first and is renamed when complete.

#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "recognition/bridge/dlib_network.hpp"
#include "face_api_weights.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MANIFEST OUTPUT\n", argc > 0 ? argv[0] : "quorvel_convert");
        return 2;
    }
    const std::string manifestPath = argv[1];
    const std::string outputPath = argv[2];
    const std::string partialPath = outputPath + ".partial";

    const quorvel::convert::TensorsResult tensors =
        quorvel::convert::readTensorsFromFiles(manifestPath);
    if (!tensors.ok()) {
        std::fprintf(stderr, "quorvel_convert: %s\n", tensors.error.c_str());
        return 1;
    }

    try {
        auto net = std::make_unique<quorvel::dlib_net::anet_type>();
        const std::string error = quorvel::convert::fillNetwork(*net, tensors.tensors);
        if (!error.empty()) {
            std::fprintf(stderr, "quorvel_convert: %s\n", error.c_str());
            return 1;
        }

        // A check that the filled network runs: the descriptor of a uniform grey face.
        dlib::matrix<dlib::rgb_pixel> grey(quorvel::dlib_net::kInputSide,
                                           quorvel::dlib_net::kInputSide);
        dlib::assign_all_pixels(grey, dlib::rgb_pixel(128, 128, 128));
        const dlib::matrix<float, 0, 1> descriptor = (*net)(grey);
        const double length = std::sqrt(dlib::sum(dlib::squared(descriptor)));
        if (descriptor.size() != quorvel::dlib_net::kDescriptorLength || !std::isfinite(length)) {
            std::fprintf(stderr, "quorvel_convert: the filled network gives no valid descriptor\n");
            return 1;
        }

        net->clean();
        dlib::serialize(partialPath) << *net;
        if (std::rename(partialPath.c_str(), outputPath.c_str()) != 0) {
            std::perror(("quorvel_convert: cannot rename " + partialPath).c_str());
            std::remove(partialPath.c_str());
            return 1;
        }
        std::printf("quorvel_convert: wrote %s from %zu tensors\n", outputPath.c_str(),
                    tensors.tensors.size());
        std::printf("quorvel_convert: grey face descriptor %.7f %.7f %.7f %.7f ... length %.6f\n",
                    descriptor(0), descriptor(1), descriptor(2), descriptor(3), length);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvel_convert: %s\n", e.what());
        std::remove(partialPath.c_str());
        return 1;
    }
}
