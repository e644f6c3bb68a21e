// dlib's published 128-number face-recognition ResNet.
//
// This is the exact layer structure stored in dlib_face_recognition_resnet_model_v1.dat:
// dlib::deserialize refuses a file whose layers differ from it. The bridge runs it and the
// weight converter fills and writes it, so both include this one definition.
#pragma once

#include <dlib/dnn.h>

namespace quorvel::dlib_net {

// Convolution 3x3, affine, ReLU, convolution 3x3, affine. With stride 2 the first
// convolution has no padding and halves the map.
template <int N, template <typename> class BN, int stride, typename SUBNET>
using block = BN<dlib::con<N, 3, 3, 1, 1, dlib::relu<BN<dlib::con<N, 3, 3, stride, stride, SUBNET>>>>>;

// The block's output added to its input.
template <template <int, template <typename> class, int, typename> class BLOCK, int N,
          template <typename> class BN, typename SUBNET>
using residual = dlib::add_prev1<BLOCK<N, BN, 1, dlib::tag1<SUBNET>>>;

// The down-sampling block's output added to its input average-pooled 2x2 stride 2.
template <template <int, template <typename> class, int, typename> class BLOCK, int N,
          template <typename> class BN, typename SUBNET>
using residual_down = dlib::add_prev2<dlib::avg_pool<
    2, 2, 2, 2, dlib::skip1<dlib::tag2<BLOCK<N, BN, 2, dlib::tag1<SUBNET>>>>>>;

template <int N, typename SUBNET>
using ares = dlib::relu<residual<block, N, dlib::affine, SUBNET>>;
template <int N, typename SUBNET>
using ares_down = dlib::relu<residual_down<block, N, dlib::affine, SUBNET>>;

template <typename SUBNET> using alevel0 = ares_down<256, SUBNET>;
template <typename SUBNET> using alevel1 = ares<256, ares<256, ares_down<256, SUBNET>>>;
template <typename SUBNET> using alevel2 = ares<128, ares<128, ares_down<128, SUBNET>>>;
template <typename SUBNET> using alevel3 = ares<64, ares<64, ares<64, ares_down<64, SUBNET>>>>;
template <typename SUBNET> using alevel4 = ares<32, ares<32, ares<32, SUBNET>>>;

// Output first, as dlib writes network types: the metric loss over a 128-wide
// fully connected layer without bias, over the pooled feature map of the levels above
// the stem (7x7 stride-2 convolution, affine, ReLU, 3x3 stride-2 max pool).
using anet_type = dlib::loss_metric<dlib::fc_no_bias<128, dlib::avg_pool_everything<
    alevel0<alevel1<alevel2<alevel3<alevel4<
        dlib::max_pool<3, 3, 2, 2, dlib::relu<dlib::affine<dlib::con<32, 7, 7, 2, 2,
            dlib::input_rgb_image_sized<150>>>>>>>>>>>>>;

// Side of the square input image, in pixels.
inline constexpr long kInputSide = 150;
// Number of values in a descriptor.
inline constexpr long kDescriptorLength = 128;

}  // namespace quorvel::dlib_net
