#include "platform/image/image_io.hpp"
#include "platform/image/opencv_pixels.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

namespace platform::image {
namespace {

// The most pixels a file may declare: a decoder sets aside what the header declares before it
// reads a pixel, so a file of a few bytes could otherwise make it ask for gigabytes. 2^25 is
// 32 megapixels (6,000 x 5,000 fits).
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 25;
// The largest file read (a photo of kMostPixels is far smaller).
constexpr off_t kLargestFile = off_t{1} << 28;

std::uint32_t bigEndian(const std::vector<std::uint8_t>& data, std::size_t at, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | data[at + static_cast<std::size_t>(i)];
  return value;
}

// The width and height a PNG or JPEG file declares; none for any other data, a header that
// does not say, or a PNG chunk that claims more bytes than the file holds (the decoder sets
// aside, and clears, what a chunk's length says before it reads it).
std::optional<std::pair<std::uint32_t, std::uint32_t>> declaredSize(const std::vector<std::uint8_t>& data) {
  static constexpr std::uint8_t kPNG[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (data.size() >= 24 && std::equal(std::begin(kPNG), std::end(kPNG), data.begin())) {
    // The first chunk is the header: its length, "IHDR", then width and height.
    if (std::memcmp(data.data() + 12, "IHDR", 4) != 0) return std::nullopt;
    // Each chunk: length, type, data, check sum; the last is "IEND".
    for (std::size_t at = 8; at < data.size();) {
      if (data.size() - at < 12 || bigEndian(data, at, 4) > data.size() - at - 12) return std::nullopt;
      if (std::memcmp(data.data() + at + 4, "IEND", 4) == 0) break;
      at += 12 + bigEndian(data, at, 4);
    }
    return std::make_pair(bigEndian(data, 16, 4), bigEndian(data, 20, 4));
  }
  if (data.size() < 3 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) return std::nullopt;
  // JPEG: markers and their segments up to the frame header (a start-of-frame marker).
  std::size_t at = 2;
  while (at + 4 <= data.size()) {
    if (data[at] != 0xFF) return std::nullopt;
    const std::uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no segment
      at += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // the image ends or its data begins
    const std::size_t length = bigEndian(data, at + 2, 2);
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (length < 7 || at + 9 > data.size()) return std::nullopt;
      return std::make_pair(bigEndian(data, at + 7, 2), bigEndian(data, at + 5, 2));
    }
    if (length < 2) return std::nullopt;
    at += 2 + length;
  }
  return std::nullopt;
}

// The bytes of a regular file of at most kLargestFile bytes.
std::optional<std::vector<std::uint8_t>> readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::vector<std::uint8_t>> data;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestFile) {
    data.emplace(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < data->size()) {
      const auto n = ::read(fd, data->data() + done, data->size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    data->resize(done);
  }
  ::close(fd);
  return data;
}

// The pixels of a PNG or JPEG file as the decoder gives them; empty when the file is missing,
// of another kind, declares more than kMostPixels or cannot be decoded.
cv::Mat decodeFile(const std::string& path) {
  const auto data = readSmallFile(path);
  if (!data) return {};
  const auto size = declaredSize(*data);
  if (!size || size->first == 0 || size->second == 0 ||
      std::uint64_t{size->first} * size->second > kMostPixels) {
    return {};
  }
  try {
    return cv::imdecode(*data, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    return {};
  }
}

}  // namespace

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
    return pixelBufferFromMat(decodeFile(path));
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
  cv::Mat decoded = decodeFile(path);
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
