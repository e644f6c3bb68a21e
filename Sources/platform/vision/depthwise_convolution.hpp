// Depthwise convolutions with 5 x 5 kernels for the OpenCV networks of the hand-pose layer.
// OpenCV 4.6 runs them through its general convolution, which spends most of the palm
// detector's time on them (12 of its 17 ms on one core); this kernel does the same
// arithmetic directly, plane by plane, vectorised (AVX2 when the processor has it).
#pragma once

namespace platform::vision {

struct DepthwiseShape {
  int channels = 0;
  int height = 0;
  int width = 0;
  int stride = 1;  // 1 or 2
  int padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
  int outputHeight() const { return (height + padTop + padBottom - 5) / stride + 1; }
  int outputWidth() const { return (width + padLeft + padRight - 5) / stride + 1; }
};

// output[c][y][x] = bias[c] + sum over (i, j) of weights[c][i][j] * input[c][y*stride - padTop + i][x*stride - padLeft + j],
// input outside the plane reading 0. Planes are packed (rows `width` floats apart); `bias` may
// be null. Channels [firstChannel, endChannel) only.
void depthwiseConvolution5x5(const DepthwiseShape& shape, const float* input, const float* weights,
                             const float* bias, float* output, int firstChannel, int endChannel);

// From now on, OpenCV networks read from a file run their 5 x 5 depthwise convolutions (stride
// 1 or 2, no dilation) with the kernel above; every other convolution stays OpenCV's.
void useDepthwiseKernelInNetworks();

}  // namespace platform::vision
