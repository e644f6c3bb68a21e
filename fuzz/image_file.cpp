// Image files as the diagnostics read them (--diagnose-alignment, --diagnose-on-native-crop):
// the decoder's pixels as a bitmap and as a pixel buffer, which agree on the size.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fuzz_input.hpp"
#include "platform/image/image_io.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input as a file of this process, removed once read.
  static const std::string path = [] {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/quorvel-fuzz-image-" + std::to_string(::getpid());
  }();
  FILE* out = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(out);
  FUZZ_CHECK(std::fwrite(data, 1, size, out) == size || size == 0);
  FUZZ_CHECK(std::fclose(out) == 0);

  const auto bitmap = platform::image::readImageBitmap(path);
  const auto buffer = platform::image::readImageFile(path);
  ::unlink(path.c_str());
  if (bitmap) {
    FUZZ_CHECK(bitmap->width > 0 && bitmap->height > 0 &&
               bitmap->bytes.size() == bitmap->bytesPerRow * static_cast<std::size_t>(bitmap->height));
  }
  if (bitmap && buffer) FUZZ_CHECK(buffer->width() == bitmap->width && buffer->height() == bitmap->height);
  return 0;
}
