#include "onboarding/enrolment_model.hpp"

#include <cmath>
#include <limits>
#include <sstream>

#include "foundation/faceprint_store.hpp"
#include "foundation/log.hpp"
#include "foundation/recognition_engine.hpp"
#include "foundation/settings.hpp"
#include "platform/capture/capture.hpp"
#include "platform/image/image.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"

namespace platform::animation {

RecordedValue ValueTraits<platform::Point>::record(const platform::Point& p) {
  std::ostringstream text;
  text << "(" << p.x << ", " << p.y << ")";
  return text.str();
}

RecordedValue ValueTraits<std::map<int, int>>::record(const std::map<int, int>& passes) {
  std::ostringstream text;
  text << "{";
  bool first = true;
  for (const auto& [tick, count] : passes) {
    text << (first ? "" : ", ") << tick << ": " << count;
    first = false;
  }
  text << "}";
  return text.str();
}

RecordedValue ValueTraits<std::shared_ptr<const platform::image::Bitmap>>::record(
    const std::shared_ptr<const platform::image::Bitmap>& image) {
  if (!image) return std::monostate{};
  return std::to_string(image->width) + "x" + std::to_string(image->height);
}

}  // namespace platform::animation

namespace quorvel {
namespace {

using platform::Point;
using platform::animation::Animation;
using platform::animation::withAnimation;

constexpr double kPi = 3.14159265358979323846;
constexpr double kTickAngle = kPi / 6;

double length(Point p) { return std::hypot(p.x, p.y); }

// 0 for straight up (positive y), growing towards positive x, in -pi...pi.
double angle(Point p) { return std::atan2(p.x, p.y); }

// The angular distance between two angles, 0...pi. The head's angle lies in -pi...pi and a
// tick's in 0...11pi/6, so their difference can exceed 2pi: it is brought into 0...2pi first,
// else the distance would come out negative.
double angularDistance(double a, double b) {
  double d = std::fmod(std::fabs(a - b), 2 * kPi);
  if (d > kPi) d = 2 * kPi - d;
  return d;
}

std::optional<Point> mean(const std::optional<platform::vision::FaceLandmarkRegion>& region) {
  if (!region || region->normalizedPoints.empty()) return std::nullopt;
  Point sum;
  for (const Point& p : region->normalizedPoints) {
    sum.x += p.x;
    sum.y += p.y;
  }
  const double n = static_cast<double>(region->normalizedPoints.size());
  return Point{sum.x / n, sum.y / n};
}

}  // namespace

std::shared_ptr<EnrolmentModel> EnrolmentModel::make() {
  auto model = std::make_shared<EnrolmentModel>(Token{});
  std::weak_ptr<EnrolmentModel> weak = model;
  model->camera_->onFrame = [weak](const std::shared_ptr<platform::image::PixelBuffer>& frame) {
    if (auto self = weak.lock()) self->handleFrame(frame);
  };
  return model;
}

EnrolmentModel::EnrolmentModel(Token)
    : camera_(CameraSession::create()), lastCapture_(-std::numeric_limits<double>::infinity()) {}

EnrolmentModel::~EnrolmentModel() {
  if (watchdog_) watchdog_->invalidate();
  // A scan dropped without a stop must not leave the camera on.
  bool running = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    running = running_;
  }
  if (running) camera_->stop();
}

double EnrolmentModel::progress() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<double>(vectors_.size()) / sampleTarget;
}

bool EnrolmentModel::isRunning() const {
  std::lock_guard<std::mutex> guard(lock_);
  return running_;
}

bool EnrolmentModel::isCurrent(std::uint64_t generation) const {
  return running_ && generation_ == generation;
}

void EnrolmentModel::onMain(std::uint64_t generation, std::function<void(EnrolmentModel&)> work) {
  std::weak_ptr<EnrolmentModel> weak = weak_from_this();
  platform::dispatch::mainQueue().async([weak, generation, work = std::move(work)] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      if (self->generation_ != generation) return;
    }
    work(*self);
  });
}

void EnrolmentModel::setCentreCaptured(bool value) {
  centreCaptured = value;
  std::lock_guard<std::mutex> guard(lock_);
  seen_.centreCaptured = value;
}

void EnrolmentModel::setPass(int value) {
  pass = value;
  std::lock_guard<std::mutex> guard(lock_);
  seen_.pass = value;
}

void EnrolmentModel::setTickPasses(const TickPasses& value) {
  tickPasses = value;
  std::lock_guard<std::mutex> guard(lock_);
  seen_.tickPasses = value;
}

void EnrolmentModel::setDirection(Point value) {
  direction = value;
  std::lock_guard<std::mutex> guard(lock_);
  seen_.direction = value;
}

void EnrolmentModel::start() {
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_) return;
    running_ = true;
    vectors_.clear();
    generation = ++generation_;
  }
  setTickPasses({});
  setCentreCaptured(false);
  setPass(1);
  {
    std::lock_guard<std::mutex> guard(lock_);
    baseline_.reset();
  }
  setDirection({0, 0});
  finished = false;
  failure = std::nullopt;
  {
    std::lock_guard<std::mutex> guard(lock_);
    lastFrame_.reset();
  }
  instruction = lookStraightText;

  using platform::capture::AuthorizationStatus;
  switch (platform::capture::current()->authorizationStatus(platform::capture::MediaType::video)) {
    case AuthorizationStatus::restricted:
    case AuthorizationStatus::denied:
      fail(accessOffText);
      return;
    case AuthorizationStatus::notDetermined: {
      std::weak_ptr<EnrolmentModel> weak = weak_from_this();
      CameraSession::requestAccess([weak, generation](bool granted) {
        auto self = weak.lock();
        if (!self) return;
        {
          // A scan stopped while the question was open must not switch the camera on.
          std::lock_guard<std::mutex> guard(self->lock_);
          if (!self->isCurrent(generation)) return;
        }
        if (granted) {
          self->startCamera(generation);
        } else {
          self->fail(accessDeclinedText);
        }
      });
      return;
    }
    case AuthorizationStatus::authorized:
      startCamera(generation);
      return;
  }
  fail(accessUnavailableText);
}

void EnrolmentModel::startCamera(std::uint64_t generation) {
  std::weak_ptr<EnrolmentModel> weak = weak_from_this();
  camera_->start([weak, generation](bool runs) {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      if (!self->isCurrent(generation)) return;
    }
    if (!runs) {
      self->fail(cameraWouldNotStartText);
      return;
    }
    if (self->watchdog_) self->watchdog_->invalidate();
    std::weak_ptr<EnrolmentModel> timerWeak = self;
    self->watchdog_ = platform::dispatch::Timer::scheduled(
        watchdogInterval, true, [timerWeak](platform::dispatch::Timer&) {
          if (auto model = timerWeak.lock()) model->watchdogTick();
        });
  });
}

void EnrolmentModel::watchdogTick() {
  std::optional<double> last;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!running_ || processing_) return;  // a frame is being handled: the camera waits for it
    last = lastFrame_;
  }
  if (!last) return;  // no frame yet since the start
  if (platform::dispatch::now() - *last > frameTimeout) fail(cameraStoppedText);
}

void EnrolmentModel::stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = false;
  }
  if (watchdog_) {
    watchdog_->invalidate();
    watchdog_.reset();
  }
  camera_->stop();
}

void EnrolmentModel::fail(const std::string& text) {
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    generation = generation_;
  }
  std::weak_ptr<EnrolmentModel> weak = weak_from_this();
  platform::dispatch::mainQueue().async([weak, generation, text] {
    Log::face().error("Enrolment failed: %s", text);
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      if (self->generation_ != generation) return;  // a newer scan has started
    }
    self->failure = text;
    self->instruction = text;
  });
  stop();
}

void EnrolmentModel::handleFrame(const std::shared_ptr<platform::image::PixelBuffer>& frame) {
  std::uint64_t generation = 0;
  // What the frame is judged against, as it stands when its handling begins.
  Seen seen;
  std::optional<Point> baseline;
  double lastCapture = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!running_ || processing_) return;
    processing_ = true;
    lastFrame_ = platform::dispatch::now();
    generation = generation_;
    seen = seen_;
    baseline = baseline_;
    lastCapture = lastCapture_;
  }
  struct ProcessingEnds {
    EnrolmentModel& model;
    ~ProcessingEnds() {
      std::lock_guard<std::mutex> guard(model.lock_);
      model.processing_ = false;
      // The camera's next frame is awaited from now: a handling slower than the watchdog's
      // limit (the landmark model loading with the first frame on a busy machine) holds up
      // the camera's queue, and is no stopped camera.
      model.lastFrame_ = platform::dispatch::now();
    }
  } processingEnds{*this};

  const std::optional<platform::vision::FaceObservation> face =
      FaceDetector::shared().largestFace(frame);
  publishPreview(frame);

  const std::optional<Point> raw = face ? headDirection(*face) : std::nullopt;
  if (!raw) {
    onMain(generation, [](EnrolmentModel& model) {
      model.faceVisible = false;
      bool none = false;
      {
        std::lock_guard<std::mutex> guard(model.lock_);
        none = model.vectors_.empty();
      }
      if (none) model.instruction = moveIntoFrameText;
    });
    return;
  }

  const Point rel = baseline ? Point{raw->x - baseline->x, raw->y - baseline->y} : *raw;
  const bool moved =
      length(Point{rel.x - seen.direction.x, rel.y - seen.direction.y}) > directionStep;
  onMain(generation, [rel, moved](EnrolmentModel& model) {
    model.faceVisible = true;
    if (moved) model.setDirection(rel);
  });

  const double len = length(rel);
  const double since = platform::dispatch::now() - lastCapture;
  if (!seen.centreCaptured) {
    if ((len < centreTolerance || !baseline) && since > captureInterval) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (!isCurrent(generation)) return;
        baseline_ = *raw;
      }
      capture(frame, *face, std::nullopt, generation);
    }
    return;
  }
  if (len > ringThreshold) {
    const std::optional<Tick> tick = nearestTick(rel);
    if (!tick || !(tick->distance < tickTolerance)) return;
    const auto found = seen.tickPasses.find(tick->index);
    const int done = found == seen.tickPasses.end() ? 0 : found->second;
    if (done < seen.pass && since > captureInterval) capture(frame, *face, tick->index, generation);
  }
}

void EnrolmentModel::publishPreview(const std::shared_ptr<platform::image::PixelBuffer>& frame) {
  const platform::image::Image image = platform::image::Image::fromPixelBuffer(frame);
  const platform::Rect extent = image.extent();
  if (extent.isEmpty() || extent.isInfinite() || !(extent.width() > 0)) return;
  const double factor = previewWidth / extent.width();
  const platform::image::Image scaled = image.scaledBy(factor, factor);
  const platform::Rect target = scaled.extent();
  // Rendered to whole pixels: the scaled extent rounded to the nearest whole size.
  const double width = std::max(1.0, std::round(target.width()));
  const double height = std::max(1.0, std::round(target.height()));
  auto bitmap = FaceAligner::shared().ciContext()->renderBitmap(
      scaled, platform::Rect(target.minX(), target.minY(), width, height),
      platform::image::BitmapFormat::BGRA8);
  if (!bitmap) return;
  auto shared = std::make_shared<const platform::image::Bitmap>(std::move(*bitmap));
  // A preview is worth showing whatever scan it came from.
  std::weak_ptr<EnrolmentModel> weak = weak_from_this();
  platform::dispatch::mainQueue().async([weak, shared] {
    if (auto self = weak.lock()) self->preview = shared;
  });
}

void EnrolmentModel::capture(const std::shared_ptr<platform::image::PixelBuffer>& frame,
                             const platform::vision::FaceObservation& face,
                             std::optional<int> tick, std::uint64_t generation) {
  const FaceEngineSpec& engineSpec = spec(Settings::shared().recognitionEngine());
  const std::optional<platform::image::Image> aligned =
      FaceAligner::shared().alignedFace(frame, face, engineSpec);
  if (!aligned) return;
  const std::optional<FaceDescriptor> descriptor = FaceModels::shared().embedding(
      *aligned, engineSpec, *FaceAligner::shared().ciContext());
  if (!descriptor) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A scan stopped or restarted meanwhile keeps nothing of this frame.
    if (!isCurrent(generation)) return;
    lastCapture_ = platform::dispatch::now();
    vectors_.push_back(*descriptor);
  }
  onMain(generation, [tick, generation](EnrolmentModel& model) { model.bookkeep(tick, generation); });
}

void EnrolmentModel::bookkeep(std::optional<int> tick, std::uint64_t) {
  auto body = [&] {
    if (!tick) {
      setCentreCaptured(true);
    } else {
      TickPasses counts = tickPasses.value();
      counts[*tick] += 1;
      setTickPasses(counts);
    }

    std::vector<std::vector<float>> held;
    {
      std::lock_guard<std::mutex> guard(lock_);
      held = vectors_;
    }
    if (held.size() < static_cast<std::size_t>(sampleTarget)) {
      if (!centreCaptured.value()) {
        instruction = lookStraightText;
        return;
      }
      const TickPasses& counts = tickPasses.value();
      for (int i = 0; i < tickCount; ++i) {
        const auto found = counts.find(i);
        const int done = found == counts.end() ? 0 : found->second;
        if (done < pass.value()) {
          instruction = pass.value() == 1 ? circleText : onceMoreText;
          return;
        }
      }
      if (pass.value() >= passes) return;
      setPass(pass.value() + 1);
      instruction = onceMoreText;
      return;
    }

    const RecognitionEngine engine = Settings::shared().recognitionEngine();
    if (FaceprintStore::shared().replaceEnrolled(held, engine)) {
      instruction = doneText;
      finished = true;
    } else {
      instruction = saveFailedText;
    }
    stop();
  };
  // The ring's ticks light up with an ease-out of 0.2 s, and whatever changes with them
  // (the pass, the prompt, the finish) moves with them.
  if (tick) {
    withAnimation(Animation::easeOut(0.2), body);
  } else {
    body();
  }
}

std::optional<Point> EnrolmentModel::headDirection(Point leftEye, Point rightEye, Point nose) {
  const Point m{(leftEye.x + rightEye.x) / 2, (leftEye.y + rightEye.y) / 2};
  const double d = std::hypot(leftEye.x - rightEye.x, leftEye.y - rightEye.y);
  if (!(d > minimumEyeDistance)) return std::nullopt;
  return Point{-(nose.x - m.x) / d, (nose.y - m.y) / d};
}

std::optional<Point> EnrolmentModel::headDirection(
    const platform::vision::FaceObservation& observation) {
  if (!observation.landmarks) return std::nullopt;
  const auto left = mean(observation.landmarks->leftEye);
  const auto right = mean(observation.landmarks->rightEye);
  const auto nose = mean(observation.landmarks->nose);
  if (!left || !right || !nose) return std::nullopt;
  return headDirection(*left, *right, *nose);
}

std::optional<EnrolmentModel::Tick> EnrolmentModel::nearestTick(Point direction) {
  if (!(length(direction) > minimumDirectionLength)) return std::nullopt;
  const double a = angle(direction);
  // Halves round away from zero; -6 (straight down from the left) is tick 6.
  const long rounded = std::lround(a / kTickAngle);
  const int index = static_cast<int>(((rounded % tickCount) + tickCount) % tickCount);
  return Tick{index, angularDistance(a, index * kTickAngle)};
}

double EnrolmentModel::tickEmphasis(int index, Point direction) {
  const double r = length(direction);
  if (!(r > minimumDirectionLength) || !std::isfinite(r)) return 0;
  const double d = angularDistance(angle(direction), index * kTickAngle);
  const double closeness = std::max(0.0, 1 - d / tickTolerance);
  const double reach = std::min(1.0, r / ringThreshold);
  return std::min(1.0, closeness * reach);
}

}  // namespace quorvel
