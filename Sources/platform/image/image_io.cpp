#include "platform/image/image_io.hpp"
#include "platform/image/opencv_pixels.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

namespace platform::image {

std::shared_ptr<PixelBuffer> pixelBufferFromMat(const cv::Mat& image) {
  if (image.empty()) return nullptr;
  cv::Mat decoded = image;
  if (decoded.depth() != CV_8U) {
    decoded.convertTo(decoded, CV_8U, decoded.depth() == CV_16U ? 1.0 / 257 : 1.0);
  }
  auto buffer = PixelBuffer::create(decoded.cols, decoded.rows);
  if (!buffer) return nullptr;
  BaseAddressLock lock(*buffer, LockFlags::readWrite);
  if (!lock.ok()) return nullptr;
  cv::Mat target(decoded.rows, decoded.cols, CV_8UC4, buffer->mutableBaseAddress(),
                 buffer->bytesPerRow());
  switch (decoded.channels()) {
    case 1:
      cv::cvtColor(decoded, target, cv::COLOR_GRAY2BGRA);
      break;
    case 3:
      cv::cvtColor(decoded, target, cv::COLOR_BGR2BGRA);
      break;
    case 4:
      decoded.copyTo(target);
      break;
    default:
      return nullptr;
  }
  return buffer;
}

std::shared_ptr<PixelBuffer> readImageFile(const std::string& path) {
  try {
    return pixelBufferFromMat(cv::imread(path, cv::IMREAD_UNCHANGED));
  } catch (const cv::Exception&) {
    return nullptr;
  }
}

bool writePNG(PixelBuffer& buffer, const std::string& path) {
  if (buffer.pixelFormat() != kPixelFormat32BGRA) return false;
  BaseAddressLock lock(buffer, LockFlags::readOnly);
  if (!lock.ok()) return false;
  const cv::Mat pixels(buffer.height(), buffer.width(), CV_8UC4,
                       const_cast<std::uint8_t*>(buffer.baseAddress()), buffer.bytesPerRow());
  try {
    return cv::imwrite(path, pixels);
  } catch (const cv::Exception&) {
    return false;
  }
}

bool writePNG(const Bitmap& bitmap, const std::string& path) {
  if (bitmap.width <= 0 || bitmap.height <= 0 ||
      bitmap.bytes.size() < bitmap.bytesPerRow * static_cast<std::size_t>(bitmap.height)) {
    return false;
  }
  const int type = bitmap.format == BitmapFormat::RGB8 ? CV_8UC3 : CV_8UC4;
  const cv::Mat pixels(bitmap.height, bitmap.width, type,
                       const_cast<std::uint8_t*>(bitmap.bytes.data()), bitmap.bytesPerRow);
  cv::Mat bgr;
  switch (bitmap.format) {
    case BitmapFormat::RGB8:
      cv::cvtColor(pixels, bgr, cv::COLOR_RGB2BGR);
      break;
    case BitmapFormat::RGBA8:
      cv::cvtColor(pixels, bgr, cv::COLOR_RGBA2BGRA);
      break;
    case BitmapFormat::RGBX8:
      cv::cvtColor(pixels, bgr, cv::COLOR_RGBA2BGR);
      break;
    case BitmapFormat::BGRA8:
      bgr = pixels;
      break;
  }
  try {
    return cv::imwrite(path, bgr);
  } catch (const cv::Exception&) {
    return false;
  }
}

namespace {

// The bitmap as an OpenCV matrix of straight BGR or BGRA bytes.
bool toStraightBGR(const Bitmap& bitmap, cv::Mat& out) {
  if (bitmap.width <= 0 || bitmap.height <= 0 ||
      bitmap.bytes.size() < bitmap.bytesPerRow * static_cast<std::size_t>(bitmap.height)) {
    return false;
  }
  const int type = bitmap.format == BitmapFormat::RGB8 ? CV_8UC3 : CV_8UC4;
  const cv::Mat pixels(bitmap.height, bitmap.width, type,
                       const_cast<std::uint8_t*>(bitmap.bytes.data()), bitmap.bytesPerRow);
  switch (bitmap.format) {
    case BitmapFormat::RGB8:
      cv::cvtColor(pixels, out, cv::COLOR_RGB2BGR);
      return true;
    case BitmapFormat::RGBX8:
      cv::cvtColor(pixels, out, cv::COLOR_RGBA2BGR);
      return true;
    case BitmapFormat::RGBA8:
      cv::cvtColor(pixels, out, cv::COLOR_mRGBA2RGBA);
      cv::cvtColor(out, out, cv::COLOR_RGBA2BGRA);
      return true;
    case BitmapFormat::BGRA8:
      // Unpremultiplying does not care about the order of the colour channels.
      cv::cvtColor(pixels, out, cv::COLOR_mRGBA2RGBA);
      return true;
  }
  return false;
}

}  // namespace

std::optional<Bitmap> readImageBitmap(const std::string& path) {
  cv::Mat decoded;
  try {
    decoded = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (decoded.empty()) return std::nullopt;
  if (decoded.depth() != CV_8U) {
    cv::Mat eight;
    decoded.convertTo(eight, CV_8U, decoded.depth() == CV_16U ? 1.0 / 257 : 1.0);
    decoded = eight;
  }
  cv::Mat rgba;
  switch (decoded.channels()) {
    case 1:
      cv::cvtColor(decoded, rgba, cv::COLOR_GRAY2RGBA);
      break;
    case 3:
      cv::cvtColor(decoded, rgba, cv::COLOR_BGR2RGBA);
      break;
    case 4:
      cv::cvtColor(decoded, rgba, cv::COLOR_BGRA2RGBA);
      cv::cvtColor(rgba, rgba, cv::COLOR_RGBA2mRGBA);
      break;
    default:
      return std::nullopt;
  }
  Bitmap bitmap;
  bitmap.width = rgba.cols;
  bitmap.height = rgba.rows;
  bitmap.format = BitmapFormat::RGBA8;
  bitmap.bytesPerRow = static_cast<std::size_t>(rgba.cols) * 4;
  bitmap.bytes.resize(bitmap.bytesPerRow * static_cast<std::size_t>(rgba.rows));
  for (int y = 0; y < rgba.rows; ++y) {
    std::memcpy(bitmap.bytes.data() + y * bitmap.bytesPerRow, rgba.ptr(y), bitmap.bytesPerRow);
  }
  return bitmap;
}

std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap) {
  cv::Mat straight;
  if (!toStraightBGR(bitmap, straight)) return std::nullopt;
  std::vector<std::uint8_t> data;
  try {
    if (!cv::imencode(".png", straight, data)) return std::nullopt;
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  return data;
}

}  // namespace platform::image
