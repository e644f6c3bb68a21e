#include "app/diagnostics_alignment.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "app/diagnostics_text.hpp"
#include "platform/files/files.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/ui/application.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/native_dlib.hpp"

namespace quorvel::diagnostics {
namespace {

using platform::image::Bitmap;
using platform::image::PixelBuffer;

// Draws an RGBA bitmap (premultiplied) into a BGRA buffer of the same size, filling it.
bool draw(const Bitmap& bitmap, PixelBuffer& buffer) {
  if (bitmap.format != platform::image::BitmapFormat::RGBA8 || bitmap.width != buffer.width() ||
      bitmap.height != buffer.height()) {
    return false;
  }
  platform::image::BaseAddressLock lock(buffer, platform::image::LockFlags::readWrite);
  if (!lock.ok() || !buffer.mutableBaseAddress()) return false;
  for (int y = 0; y < bitmap.height; ++y) {
    const std::uint8_t* source = bitmap.pixel(0, y);
    std::uint8_t* target = buffer.mutableBaseAddress() + y * buffer.bytesPerRow();
    for (int x = 0; x < bitmap.width; ++x, source += 4, target += 4) {
      target[0] = source[2];
      target[1] = source[1];
      target[2] = source[0];
      target[3] = source[3];
    }
  }
  return true;
}

// The smallest rectangle of whole pixels holding `rect` (a crop's extent is fractional where
// the moved frame ends inside the template square); a rectangle that is not finite stays as
// it is, and the render refuses it.
platform::Rect integral(const platform::Rect& rect) {
  if (rect.isNull() || rect.isInfinite() || rect.isEmpty()) return rect;
  const double minX = std::floor(rect.minX()), minY = std::floor(rect.minY());
  return platform::Rect(minX, minY, std::ceil(rect.maxX()) - minX, std::ceil(rect.maxY()) - minY);
}

std::string boundingBoxText(const platform::Rect& box) {
  return "(" + description(box.origin.x) + ", " + description(box.origin.y) + ", " +
         description(box.size.width) + ", " + description(box.size.height) + ")";
}

}  // namespace

std::vector<std::string> argumentsAfter(const std::vector<std::string>& args,
                                        const std::string& switchName) {
  const auto found = std::find(args.begin(), args.end(), switchName);
  if (found == args.end()) return {};
  return std::vector<std::string>(found + 1, args.end());
}

int runDiagnoseAlignment(const std::vector<std::string>& args, std::ostream& out) {
  const std::vector<std::string> paths = argumentsAfter(args, kDiagnoseAlignmentSwitch);
  if (paths.size() < 2) {
    out << "usage: --diagnose-alignment <photo1> <photo2> [photo3 ...]" << std::endl;
    return 1;
  }
  platform::ui::shared();
  if (!NativeDlib::load(kDlibWeightsRelativePath)) {
    out << "Could not load " << kDlibWeightsRelativePath << " \u2014 run from the project root."
        << std::endl;
    return 1;
  }

  const FaceEngineSpec& spec = FaceEngineSpec::dlib;
  const platform::image::Context& context = *FaceAligner::shared().ciContext();
  std::vector<Sample> samples;
  for (const std::string& path : paths) {
    const std::optional<Bitmap> bitmap = platform::image::readImageBitmap(path);
    if (!bitmap) {
      out << "  could not load " << path << std::endl;
      continue;
    }
    const std::shared_ptr<PixelBuffer> buffer = PixelBuffer::create(
        bitmap->width, bitmap->height, platform::image::kPixelFormat32BGRA,
        platform::image::PixelBufferAttributes{true, true});
    if (!buffer || !draw(*bitmap, *buffer)) {
      out << "  buffer failed for " << path << std::endl;
      continue;
    }
    const std::optional<FaceObservation> face = FaceDetector::shared().largestFace(buffer);
    if (!face) {
      out << "  no face detected in " << path << std::endl;
      continue;
    }
    const std::optional<platform::image::Image> aligned =
        FaceAligner::shared().alignedFace(buffer, *face, spec);
    const std::optional<std::vector<float>> embedding =
        aligned ? NativeDlib::embedding(*aligned, context) : std::nullopt;
    if (!embedding) {
      out << "  pipeline failed for " << path << std::endl;
      continue;
    }
    const std::string name = lastPathComponent(path);
    samples.push_back({name, *embedding});
    out << "  processed " << path << " \u2014 face at " << boundingBoxText(face->boundingBox)
        << std::endl;

    const std::optional<Bitmap> crop = context.renderBitmap(
        *aligned, integral(aligned->extent()), platform::image::BitmapFormat::RGBA8);
    const auto png = crop ? platform::image::encodePNG(*crop) : std::nullopt;
    if (png) {
      const std::string cropPath = kAlignedCropPrefix + name;
      (void)platform::files::writeFile(cropPath, *png);
      out << "    saved crop to " << cropPath << std::endl;
    }
  }

  out << "\n"
      << "Pairwise distances (dlib Euclidean \u2014 under ~0.6 means \"same person\" by dlib's "
         "own rule):\n"
      << "\n";
  printPairwiseRows(samples, out);
  out << std::endl;
  return 0;
}

int runDiagnoseOnNativeCrop(const std::vector<std::string>& args, std::ostream& out) {
  return runDiagnoseOnNativeCrop(args, out,
                                 [](const platform::ml::MultiArray& input,
                                    const FaceEngineSpec& spec) {
                                   return FaceModels::shared().embedding(input, spec);
                                 });
}

int runDiagnoseOnNativeCrop(const std::vector<std::string>& args, std::ostream& out,
                            const TensorEmbedder& embedder) {
  const std::vector<std::string> paths = argumentsAfter(args, kDiagnoseOnNativeCropSwitch);
  if (paths.size() < 2) {
    out << "usage: --diagnose-on-native-crop <crop1.png> <crop2.png> [...]" << std::endl;
    return 1;
  }
  platform::ui::shared();

  const FaceEngineSpec& spec = FaceEngineSpec::dlib;
  std::vector<Sample> samples;
  for (const std::string& path : paths) {
    // The decoded file is the image's bitmap; the image is made over it. A file that does
    // not decode to pixels is reported like an unreadable one.
    const std::shared_ptr<PixelBuffer> pixels = platform::image::readImageFile(path);
    if (!pixels) {
      out << "  could not load " << path << std::endl;
      continue;
    }
    const platform::image::Image image = platform::image::Image::fromPixelBuffer(pixels);
    const std::optional<platform::ml::MultiArray> tensor = FaceTensors::shared().tensor(
        image, static_cast<int>(spec.inputSide), FaceTensors::Normalisation::forEngine(spec));
    const std::optional<FaceDescriptor> embedding =
        tensor ? embedder(*tensor, spec) : std::nullopt;
    if (!embedding) {
      out << "  pipeline failed for " << path << std::endl;
      continue;
    }
    samples.push_back({lastPathComponent(path), *embedding});

    float sum = 0;
    float minimum = std::numeric_limits<float>::max();
    float maximum = -std::numeric_limits<float>::max();
    const float* values = tensor->data();
    const std::size_t count = tensor->count();
    for (std::size_t i = 0; i < count; ++i) {
      sum += values[i];
      minimum = std::min(minimum, values[i]);
      maximum = std::max(maximum, values[i]);
    }
    const float mean = sum / static_cast<float>(count);
    std::string first = "[";
    for (std::size_t i = 0; i < std::min<std::size_t>(5, count); ++i) {
      if (i > 0) first += ", ";
      first += description(values[i]);
    }
    first += "]";
    out << "  processed " << path << " \u2014 tensor mean " << description(mean) << ", min "
        << description(minimum) << ", max " << description(maximum) << ", first values "
        << first << std::endl;
  }

  out << "\nPairwise distances \u2014 OUR tensor+model on DLIB'S OWN crop:\n" << std::endl;
  printPairwiseRows(samples, out);
  return 0;
}

}  // namespace quorvel::diagnostics
