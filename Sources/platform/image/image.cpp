#include "platform/image/image.hpp"

namespace platform::image {
namespace {

std::shared_ptr<const Image::Node> emptyNode() {
  static const auto node = std::make_shared<const Image::Node>();
  return node;
}

}  // namespace

Image::Image() : node_(emptyNode()) {}

Image Image::fromPixelBuffer(std::shared_ptr<PixelBuffer> buffer) {
  if (!buffer || buffer->pixelFormat() != kPixelFormat32BGRA) return Image();
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::pixelBuffer;
  node->extent = Rect(0, 0, buffer->width(), buffer->height());
  node->buffer = std::move(buffer);
  return Image(std::move(node));
}

Image Image::color(const Color& color) {
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::color;
  node->color = color;
  node->extent = Rect::infinite();
  return Image(std::move(node));
}

Rect Image::extent() const { return node_->extent; }

Image Image::transformed(const AffineTransform& t) const {
  if (node_->extent.isNull()) return *this;
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::transform;
  node->input = node_;
  node->transform = t;
  node->extent = t.apply(node_->extent);
  return Image(std::move(node));
}

Image Image::cropped(const Rect& rect) const {
  const Rect extent = node_->extent.isInfinite() ? rect.standardized()
                                                 : node_->extent.intersection(rect);
  if (extent.isNull() || extent.isEmpty()) return Image();
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::crop;
  node->input = node_;
  node->rect = rect.standardized();
  node->extent = extent;
  return Image(std::move(node));
}

Image Image::applyingColorControls(const ColorControls& controls) const {
  if (node_->extent.isNull()) return *this;
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::colorControls;
  node->input = node_;
  node->controls = controls;
  node->extent = node_->extent;
  return Image(std::move(node));
}

Image Image::composited(const Image& background) const {
  if (background.extent().isNull()) return *this;
  if (node_->extent.isNull()) return background;
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::composite;
  node->input = node_;
  node->background = background.node();
  node->extent = node_->extent.unionWith(background.extent());
  return Image(std::move(node));
}

std::optional<Image> ColorControlsFilter::outputImage() const {
  if (!input_) return std::nullopt;
  return input_->applyingColorControls(controls_);
}

}  // namespace platform::image
