#include "platform/vision/depthwise_convolution.hpp"

#include <algorithm>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/all_layers.hpp>
#include <vector>

namespace platform::vision {
namespace {

constexpr int kSide = 5;

// out[i] += w * in[i] for i < n.
__attribute__((target("avx2,fma"))) void addScaledAvx2(float* out, const float* in, float w, int n) {
  for (int i = 0; i < n; ++i) out[i] += w * in[i];
}
void addScaledPlain(float* out, const float* in, float w, int n) {
  for (int i = 0; i < n; ++i) out[i] += w * in[i];
}
using AddScaled = void (*)(float*, const float*, float, int);
AddScaled addScaled() {
  static const AddScaled chosen =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? addScaledAvx2 : addScaledPlain;
  return chosen;
}

// The layer OpenCV's network runs in place of its convolution.
class DepthwiseLayer : public cv::dnn::Layer {
 public:
  DepthwiseLayer(cv::dnn::LayerParams& params, int stride, const int pads[4]) : Layer(params) {
    shape_.stride = stride;
    shape_.padTop = pads[0];
    shape_.padLeft = pads[1];
    shape_.padBottom = pads[2];
    shape_.padRight = pads[3];
  }

  bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, const int, std::vector<cv::dnn::MatShape>& outputs,
                       std::vector<cv::dnn::MatShape>&) const override {
    cv::dnn::MatShape out = inputs.at(0);
    DepthwiseShape shape = shape_;
    shape.height = out[2];
    shape.width = out[3];
    out[2] = shape.outputHeight();
    out[3] = shape.outputWidth();
    outputs.assign(1, out);
    return false;
  }

  void forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray, cv::OutputArrayOfArrays) override {
    std::vector<cv::Mat> inputs, outputs;
    inputsArray.getMatVector(inputs);
    outputsArray.getMatVector(outputs);
    const cv::Mat& input = inputs.at(0);
    cv::Mat& output = outputs.at(0);
    DepthwiseShape shape = shape_;
    shape.channels = input.size[1];
    shape.height = input.size[2];
    shape.width = input.size[3];
    const float* bias = blobs.size() > 1 ? blobs[1].ptr<float>() : nullptr;
    for (int n = 0; n < input.size[0]; ++n) {
      const float* in = input.ptr<float>(n);
      float* out = output.ptr<float>(n);
      cv::parallel_for_(cv::Range(0, shape.channels), [&](const cv::Range& range) {
        depthwiseConvolution5x5(shape, in, blobs[0].ptr<float>(), bias, out, range.start, range.end);
      });
    }
  }

 private:
  DepthwiseShape shape_;
};

int intAt(const cv::dnn::LayerParams& params, const char* name, int index, int otherwise) {
  if (!params.has(name)) return otherwise;
  const cv::dnn::DictValue& value = params.get(name);
  return index < value.size() ? value.get<int>(index) : otherwise;
}

cv::Ptr<cv::dnn::Layer> makeConvolution(cv::dnn::LayerParams& params) {
  const int channels = params.get<int>("num_output", 0);
  const bool depthwise = channels > 0 && params.get<int>("group", 1) == channels && !params.blobs.empty() &&
                         params.blobs[0].dims == 4 && params.blobs[0].size[0] == channels &&
                         params.blobs[0].size[1] == 1 && params.blobs[0].type() == CV_32F &&
                         (params.blobs.size() < 2 || static_cast<int>(params.blobs[1].total()) == channels);
  const int kernelY = intAt(params, "kernel_size", 0, 0), kernelX = intAt(params, "kernel_size", 1, kernelY);
  const int strideY = intAt(params, "stride", 0, 1), strideX = intAt(params, "stride", 1, strideY);
  const int dilationY = intAt(params, "dilation", 0, 1), dilationX = intAt(params, "dilation", 1, dilationY);
  // OpenCV's ONNX reader gives the pads as top, left, bottom, right.
  const int pads[4] = {intAt(params, "pad", 0, 0), intAt(params, "pad", 1, 0), intAt(params, "pad", 2, intAt(params, "pad", 0, 0)),
                       intAt(params, "pad", 3, intAt(params, "pad", 1, 0))};
  const bool mine = depthwise && kernelY == kSide && kernelX == kSide && strideY == strideX &&
                    (strideY == 1 || strideY == 2) && dilationY == 1 && dilationX == 1 &&
                    !params.has("pad_mode") && std::all_of(pads, pads + 4, [](int p) { return p >= 0 && p < kSide; });
  if (mine) return cv::Ptr<cv::dnn::Layer>(new DepthwiseLayer(params, strideY, pads));
  return cv::dnn::ConvolutionLayer::create(params);
}

}  // namespace

void depthwiseConvolution5x5(const DepthwiseShape& shape, const float* input, const float* weights,
                             const float* bias, float* output, int firstChannel, int endChannel) {
  const int paddedHeight = shape.height + shape.padTop + shape.padBottom;
  const int paddedWidth = shape.width + shape.padLeft + shape.padRight;
  const int outHeight = shape.outputHeight(), outWidth = shape.outputWidth();
  if (outHeight <= 0 || outWidth <= 0) return;
  // The plane with its border of zeros; for stride 2 as its even and its odd columns, so that
  // every kernel tap reads a contiguous run.
  const int columns = shape.stride == 2 ? (paddedWidth + 1) / 2 : paddedWidth;
  std::vector<float> padded(static_cast<std::size_t>(paddedHeight) * paddedWidth);
  std::vector<float> parts(shape.stride == 2 ? 2 * static_cast<std::size_t>(paddedHeight) * columns : 0);
  const AddScaled add = addScaled();
  const std::size_t plane = static_cast<std::size_t>(shape.height) * shape.width;
  const std::size_t outPlane = static_cast<std::size_t>(outHeight) * outWidth;
  for (int c = firstChannel; c < endChannel; ++c) {
    const float* in = input + c * plane;
    std::fill(padded.begin(), padded.end(), 0.0f);
    for (int y = 0; y < shape.height; ++y) {
      std::copy(in + y * shape.width, in + (y + 1) * shape.width,
                padded.data() + static_cast<std::size_t>(y + shape.padTop) * paddedWidth + shape.padLeft);
    }
    const float* rows = padded.data();
    if (shape.stride == 2) {
      std::fill(parts.begin(), parts.end(), 0.0f);
      for (int y = 0; y < paddedHeight; ++y) {
        for (int x = 0; x < paddedWidth; ++x) {
          parts[(static_cast<std::size_t>(x % 2) * paddedHeight + y) * columns + x / 2] = padded[static_cast<std::size_t>(y) * paddedWidth + x];
        }
      }
    }
    const float* w = weights + c * kSide * kSide;
    float* out = output + c * outPlane;
    for (int oy = 0; oy < outHeight; ++oy) {
      float* o = out + static_cast<std::size_t>(oy) * outWidth;
      std::fill(o, o + outWidth, bias ? bias[c] : 0.0f);
      for (int i = 0; i < kSide; ++i) {
        const int y = oy * shape.stride + i;
        for (int j = 0; j < kSide; ++j) {
          const float* from = shape.stride == 1
                                  ? rows + static_cast<std::size_t>(y) * paddedWidth + j
                                  : parts.data() + (static_cast<std::size_t>(j % 2) * paddedHeight + y) * columns + j / 2;
          add(o, from, w[i * kSide + j], outWidth);
        }
      }
    }
  }
}

void useDepthwiseKernelInNetworks() {
  static std::once_flag once;
  std::call_once(once, [] { cv::dnn::LayerFactory::registerLayer("Convolution", makeConvolution); });
}

}  // namespace platform::vision
