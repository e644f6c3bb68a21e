// The Linux hand-pose detector: MediaPipe's palm detector and hand landmark model on OpenCV.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <sys/stat.h>

#include "platform/bundle/bundle.hpp"
#include "platform/compute/compute.hpp"
#include "platform/vision/depthwise_convolution.hpp"
#include "platform/vision/hand_pose_linux.hpp"
#include "platform/vision/hand_pose_model.hpp"

namespace platform::vision {
namespace {

using namespace handmodel;
using Clock = std::chrono::steady_clock;

// A palm the detector scores below this is not looked at.
constexpr float kMinimumPalmScore = 0.5f;
// Nor is a palm box smaller than this fraction of the frame's shorter side (the detector
// puts boxes of a few pixels beside real hands).
constexpr double kMinimumPalmSide = 0.03;

// Faces fool the palm detector, and the landmark model draws a hand into whatever it is
// shown. A palm becomes a hand only when (distances in palm lengths, wrist to middle-finger
// base):
// - the landmark model is nearly sure its crop holds a hand (real hands read 1.0; faces
//   mostly far less; MediaPipe's own floor is 0.5);
// - the palm detector's wrist and finger bases lie near the landmarks' own;
// - read again in a square placed from its own landmarks (as the next frame is read), it is
//   still present: a hand read into a face mostly fades from the second crop;
// - its little finger is no longer than its middle one, bone by bone.
// A followed hand must again be present and keep that shape. A false hand costs a face
// frame, and two in a row cancel an unlock, while a real hand held up stays for many
// frames: the checks are strict.
constexpr float kMinimumPresence = 0.9f;
constexpr double kMostKeypointDisagreement = 0.8;

// A followed hand is looked for in the next frame only this soon after the request that saw
// it ended.
constexpr auto kFollowFor = std::chrono::milliseconds(500);
// A palm the checks turned down is remembered for the next frame, as a face that fools the
// detector stays where it is: a palm there again (its box overlapping the old one by this
// much) is turned down unread, except in every third frame.
constexpr double kSamePalmOverlap = 0.6;
constexpr int kMostSkips = 2;

struct RejectedPalm {
  Rect box;
  int skipped = 0;  // frames it was turned down unread since it was last read
};

bool isHandLike(const FoundHand& hand) { return handmodel::isHandLike(hand, kMinimumPresence); }

bool isFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Planar R, G, B floats (value · scale + bias) from BGRA pixels.
void writePlanarRGB(const cv::Mat& bgra, float* planes, float scale, float bias) {
  const std::size_t plane = static_cast<std::size_t>(bgra.rows) * static_cast<std::size_t>(bgra.cols);
  float* r = planes;
  float* g = planes + plane;
  float* b = planes + 2 * plane;
  for (int y = 0; y < bgra.rows; ++y) {
    const std::uint8_t* row = bgra.ptr<std::uint8_t>(y);
    for (int x = 0; x < bgra.cols; ++x, row += 4) {
      *b++ = row[0] * scale + bias;
      *g++ = row[1] * scale + bias;
      *r++ = row[2] * scale + bias;
    }
  }
}

cv::Mat imageBlob(int side) {
  const int sizes[4] = {1, 3, side, side};
  return cv::Mat(4, sizes, CV_32F);
}

}  // namespace

struct LinuxHandPoseDetector::State {
  // Empty: the bundle's folder, found on first use.
  std::string folder;

  std::mutex mutex;
  enum class Load { notYet, loaded, failed } load = Load::notYet;
  std::string loadFailure;
  bool failureReported = false;
  cv::dnn::Net palmNet;
  cv::dnn::Net landmarkNet;

  // The hands of the last request, followed into the next one, and the palms it turned down.
  std::vector<FoundHand> followed;
  std::vector<RejectedPalm> rejected;
  int lastWidth = 0;
  int lastHeight = 0;
  Clock::time_point lastAt;

  Work work;

  void loadModels();
  std::vector<PalmDetection> detectPalms(const cv::Mat& frame);
  std::optional<FoundHand> readHand(const cv::Mat& frame, const HandRegion& region, float palmScore);
  // The hand at `palm` when it passes the checks against false hands; its landmarks are
  // those of the second read.
  std::optional<FoundHand> confirmedHand(const cv::Mat& frame, const PalmDetection& palm);
};

std::optional<FoundHand> LinuxHandPoseDetector::State::confirmedHand(const cv::Mat& frame,
                                                                     const PalmDetection& palm) {
  if (palm.width < kMinimumPalmSide * std::min(frame.cols, frame.rows)) return std::nullopt;
  const auto first = readHand(frame, regionFromPalm(palm), palm.score);
  if (!first || !isHandLike(*first) || !(keypointDisagreement(palm, *first) <= kMostKeypointDisagreement)) {
    return std::nullopt;
  }
  auto second = readHand(frame, regionFromLandmarks(first->landmarks), palm.score);
  if (!second || !isHandLike(*second)) return std::nullopt;
  return second;
}

void LinuxHandPoseDetector::State::loadModels() {
  platform::compute::limitThreads();
  useDepthwiseKernelInNetworks();
  load = Load::failed;
  std::string where = folder;
  if (where.empty()) {
    const auto found = bundle::Bundle::main().url(kModelFolderName, "");
    if (!found) {
      loadFailure = std::string("the application bundle has no ") + kModelFolderName + " folder";
      return;
    }
    where = *found;
  }
  const std::string palmPath = where + "/" + kPalmModelFile;
  const std::string landmarkPath = where + "/" + kLandmarkModelFile;
  for (const auto& path : {palmPath, landmarkPath}) {
    if (!isFile(path)) {
      loadFailure = "no model file at " + path;
      return;
    }
  }
  try {
    palmNet = cv::dnn::readNetFromONNX(palmPath);
    landmarkNet = cv::dnn::readNetFromONNX(landmarkPath);
    for (auto* net : {&palmNet, &landmarkNet}) {
      net->setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
      net->setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    }
    // One pass of each on a blank input: a network that loads but does not give the outputs
    // this detector reads fails here, once, rather than on every frame.
    cv::Mat palmBlob = imageBlob(kPalmInputSide);
    palmBlob.setTo(0);
    palmNet.setInput(palmBlob);
    std::vector<cv::Mat> palmOut;
    palmNet.forward(palmOut, std::vector<cv::String>{"regressors", "classificators"});
    cv::Mat landmarkBlob = imageBlob(kLandmarkInputSide);
    landmarkBlob.setTo(0);
    landmarkNet.setInput(landmarkBlob);
    std::vector<cv::Mat> landmarkOut;
    landmarkNet.forward(landmarkOut, std::vector<cv::String>{"Identity", "Identity_1"});
    if (palmOut.size() != 2 || palmOut[0].total() != std::size_t{kAnchorCount} * kPalmValuesPerAnchor ||
        palmOut[1].total() != std::size_t{kAnchorCount} || landmarkOut.size() != 2 ||
        landmarkOut[0].total() != std::size_t{kLandmarkCount} * 3 || landmarkOut[1].total() != 1) {
      loadFailure = "the models in " + where + " do not give the expected outputs";
      return;
    }
  } catch (const cv::Exception& error) {
    loadFailure = "the models in " + where + " cannot be read (" + error.err + ")";
    return;
  }
  load = Load::loaded;
}

std::vector<PalmDetection> LinuxHandPoseDetector::State::detectPalms(const cv::Mat& frame) {
  const Letterbox letterbox = Letterbox::fit(frame.cols, frame.rows);
  const int width = std::max(1, static_cast<int>(std::lround(frame.cols * letterbox.scale)));
  const int height = std::max(1, static_cast<int>(std::lround(frame.rows * letterbox.scale)));
  cv::Mat input(kPalmInputSide, kPalmInputSide, CV_8UC4, cv::Scalar::all(0));
  cv::resize(frame, input(cv::Rect(static_cast<int>(letterbox.padX), static_cast<int>(letterbox.padY),
                                   width, height)),
             cv::Size(width, height), 0, 0, cv::INTER_AREA);
  cv::Mat blob = imageBlob(kPalmInputSide);
  writePlanarRGB(input, blob.ptr<float>(), 1.0f / 127.5f, -1.0f);
  palmNet.setInput(blob);
  std::vector<cv::Mat> out;
  palmNet.forward(out, std::vector<cv::String>{"regressors", "classificators"});
  ++work.palmRuns;
  return weightedNonMaxSuppression(
      decodePalms(out[0].ptr<float>(), out[1].ptr<float>(), letterbox, kMinimumPalmScore));
}

std::optional<FoundHand> LinuxHandPoseDetector::State::readHand(const cv::Mat& frame,
                                                                const HandRegion& region,
                                                                float palmScore) {
  if (!(region.side > 1) || !std::isfinite(region.centre.x) || !std::isfinite(region.centre.y)) {
    return std::nullopt;
  }
  // Crop pixel (u, v) reads frame pixel origin + u·across + v·down.
  const Point origin = region.toFrame(0, 0);
  const Point right = region.toFrame(1, 0);
  const Point below = region.toFrame(0, 1);
  const double n = kLandmarkInputSide;
  const cv::Matx23d cropToFrame((right.x - origin.x) / n, (below.x - origin.x) / n, origin.x,
                                (right.y - origin.y) / n, (below.y - origin.y) / n, origin.y);
  cv::Mat crop;
  cv::warpAffine(frame, crop, cropToFrame, cv::Size(kLandmarkInputSide, kLandmarkInputSide),
                 cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::Mat blob = imageBlob(kLandmarkInputSide);
  writePlanarRGB(crop, blob.ptr<float>(), 1.0f / 255.0f, 0.0f);
  landmarkNet.setInput(blob);
  std::vector<cv::Mat> out;
  landmarkNet.forward(out, std::vector<cv::String>{"Identity", "Identity_1"});
  ++work.landmarkRuns;

  return handFromOutput(region, out[0].ptr<float>(), out[1].ptr<float>()[0], palmScore);
}

LinuxHandPoseDetector::LinuxHandPoseDetector() : state_(std::make_unique<State>()) {}

LinuxHandPoseDetector::LinuxHandPoseDetector(std::string modelFolder) : state_(std::make_unique<State>()) {
  state_->folder = std::move(modelFolder);
}

LinuxHandPoseDetector::~LinuxHandPoseDetector() = default;

LinuxHandPoseDetector::Work LinuxHandPoseDetector::lastWork() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->work;
}

int LinuxHandPoseDetector::computeThreads() { return platform::compute::openCVThreads(); }

std::optional<HandPoseError> LinuxHandPoseDetector::perform(DetectHumanHandPoseRequest& request,
                                                            const HandPoseFrame& frame) {
  State& state = *state_;
  std::lock_guard<std::mutex> lock(state.mutex);
  request.results.clear();
  state.work = {};
  if (state.load == State::Load::notYet) state.loadModels();
  if (state.load == State::Load::failed) {
    if (state.failureReported) return std::nullopt;
    state.failureReported = true;
    return HandPoseError{kUnavailableCode, "The hand pose models could not be loaded: " + state.loadFailure};
  }
  if (!frame.baseAddress || frame.width <= 0 || frame.height <= 0 ||
      frame.bytesPerRow < static_cast<std::size_t>(frame.width) * 4) {
    state.followed.clear();
    state.rejected.clear();
    return HandPoseError{kUnreadableFrameCode, "The frame has no readable pixels"};
  }
  const std::size_t wanted = request.maximumHandCount > 0 ? static_cast<std::size_t>(request.maximumHandCount) : 0;
  const cv::Mat pixels(frame.height, frame.width, CV_8UC4, const_cast<std::uint8_t*>(frame.baseAddress),
                       frame.bytesPerRow);
  const auto now = Clock::now();
  const bool continues = frame.width == state.lastWidth && frame.height == state.lastHeight &&
                         now - state.lastAt <= kFollowFor;
  if (!continues) {
    state.followed.clear();
    state.rejected.clear();
  }
  std::vector<FoundHand> hands;
  std::vector<RejectedPalm> rejected;
  try {
    for (const FoundHand& earlier : state.followed) {
      if (hands.size() >= wanted) break;
      auto hand = state.readHand(pixels, regionFromLandmarks(earlier.landmarks), earlier.palmScore);
      if (hand && isHandLike(*hand)) hands.push_back(*hand);
    }
    if (hands.size() < wanted) {
      for (const PalmDetection& palm : state.detectPalms(pixels)) {
        if (hands.size() >= wanted) break;
        // A palm inside a hand already found is that hand.
        const bool known = std::any_of(hands.begin(), hands.end(),
                                       [&](const FoundHand& hand) { return hand.bounds().contains(palm.centre); });
        if (known) continue;
        const auto same = std::find_if(state.rejected.begin(), state.rejected.end(), [&](const RejectedPalm& old) {
          return old.skipped < kMostSkips && overlap(old.box, palm.box()) >= kSamePalmOverlap;
        });
        if (same != state.rejected.end()) {
          rejected.push_back({palm.box(), same->skipped + 1});
        } else if (auto hand = state.confirmedHand(pixels, palm)) {
          hands.push_back(*hand);
        } else {
          rejected.push_back({palm.box(), 0});
        }
      }
    }
  } catch (const cv::Exception& error) {
    state.followed.clear();
    state.rejected.clear();
    return HandPoseError{kUnavailableCode, std::string("The hand pose models failed: ") + error.err};
  }
  state.followed = hands;
  state.rejected = std::move(rejected);
  state.lastWidth = frame.width;
  state.lastHeight = frame.height;
  state.lastAt = Clock::now();

  for (const FoundHand& hand : hands) {
    const float confidence = hand.presence * hand.palmScore;
    RecognizedPoints points;
    for (int i = 0; i < kLandmarkCount; ++i) {
      const Point p = hand.landmarks[static_cast<std::size_t>(i)];
      const Point location{p.x / frame.width, 1.0 - p.y / frame.height};
      const bool inside = location.x >= 0 && location.x <= 1 && location.y >= 0 && location.y <= 1;
      points[static_cast<HandJointName>(i)] = {location, inside ? confidence : 0.0f};
    }
    request.results.emplace_back(std::move(points), confidence);
  }
  return std::nullopt;
}

}  // namespace platform::vision
