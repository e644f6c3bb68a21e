#include "kde/screen_grab.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {

QImage grabScreen(const std::string& display, const std::string& name) {
  QImage image;
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  if (!xcb_connection_has_error(connection)) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const auto cookie = xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0,
                                      screen->width_in_pixels, screen->height_in_pixels, ~0u);
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(xcb_get_image_reply(connection, cookie, nullptr),
                                                                       &std::free);
    const int width = screen->width_in_pixels, height = screen->height_in_pixels;
    // Depth 24 in 32-bit pixels, the layout of QImage's RGB32.
    if (reply && reply->depth == 24 &&
        xcb_get_image_data_length(reply.get()) == static_cast<int>(static_cast<std::size_t>(width) * height * 4)) {
      image = QImage(width, height, QImage::Format_RGB32);
      std::memcpy(image.bits(), xcb_get_image_data(reply.get()), static_cast<std::size_t>(width) * height * 4);
    }
  }
  xcb_disconnect(connection);
  image.save(QString::fromStdString(testOutputFolder() + "/" + name + ".png"), "PNG", 100);
  return image;
}

}  // namespace quorvel::testing
