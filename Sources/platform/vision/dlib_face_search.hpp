// The two dlib models behind the Linux face-landmarks detector, run faster than dlib runs them
// and with exactly dlib's results:
//
// - `DlibFaceSearch`: dlib's frontal face detector (HOG features over an image pyramid, five
//   filters, non-maximum suppression). dlib scans the pyramid's levels one after another; here
//   the levels (and the first, largest level's five filters) are scanned at once on a few
//   threads, and the detections are merged in dlib's order, so the faces, their boxes and
//   confidences are those of `dlib::get_frontal_face_detector()`.
// - `DlibShapeModel`: dlib's 68-point shape predictor (a cascade of regression forests), read
//   from its file and evaluated with dlib's arithmetic in dlib's order, with the leaves of each
//   forest stored together and fetched ahead, so the points are those of
//   `dlib::shape_predictor`.
//
// Both are safe to use from several threads at once.
#pragma once

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::vision {

// 8-bit grey pixels in memory, the top row first, rows `bytesPerRow` apart; not owned. A
// dlib image (dlib's generic image interface, read only).
struct GreyImage {
  const std::uint8_t* pixels = nullptr;
  long width = 0;
  long height = 0;
  long bytesPerRow = 0;
};
inline long num_rows(const GreyImage& image) { return image.height; }
inline long num_columns(const GreyImage& image) { return image.width; }
inline long width_step(const GreyImage& image) { return image.bytesPerRow; }
inline const void* image_data(const GreyImage& image) { return image.pixels; }

}  // namespace platform::vision

template <>
struct dlib::image_traits<platform::vision::GreyImage> {
  using pixel_type = unsigned char;
};

namespace platform::vision {

// Threads that run one body together: the caller and `threads - 1` workers of the pool.
class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }
  // Runs `body` on the calling thread and on every worker at once, and returns when all of
  // them have returned. While another caller's body runs, `body` runs on the caller alone.
  void run(const std::function<void()>& body);

 private:
  void work();

  std::vector<std::thread> workers_;
  std::mutex busy_;  // held by the caller whose body the workers run
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void()>* body_ = nullptr;
  std::uint64_t round_ = 0;
  int running_ = 0;
  bool stopping_ = false;
};

class DlibFaceSearch {
 public:
  // Scans with `threads` threads (1: on the caller alone, as dlib does).
  explicit DlibFaceSearch(int threads);
  int threads() const { return pool_.threads(); }
  // The search's threads, for other work of a request between searches.
  WorkerPool& pool() { return pool_; }

  // The faces in `image`, best first, as dlib's frontal face detector gives them with an
  // adjusted threshold of 0. Throws what dlib throws.
  std::vector<dlib::rect_detection> operator()(const GreyImage& image);

  using Scanner = dlib::scan_fhog_pyramid<dlib::pyramid_down<6>>;

 private:
  struct Job;
  dlib::frontal_face_detector detector_;
  std::vector<Scanner::fhog_filterbank> filters_;
  std::vector<double> thresholds_;
  WorkerPool pool_;
};

class DlibShapeModel {
 public:
  // Reads a shape predictor file (dlib's serialisation); throws dlib's serialisation errors.
  explicit DlibShapeModel(const std::string& path);

  std::size_t parts() const { return static_cast<std::size_t>(initial_.size() / 2); }
  // The predictor's starting shape, its mean face, in coordinates of the face box (0 to 1).
  std::vector<dlib::dpoint> meanShape() const;
  // The shape in `box`, as dlib::shape_predictor::operator() gives it.
  dlib::full_object_detection operator()(const GreyImage& image,
                                         const dlib::rectangle& box) const;

 private:
  struct Split {
    std::uint32_t first;
    std::uint32_t second;
    float threshold;
  };
  // One level of the cascade: `trees` trees of `splitsPerTree` splits (breadth first) and
  // `leavesPerTree` leaves of `initial_.size()` values each, all stored together.
  struct Forest {
    std::vector<Split> splits;
    std::vector<float> leaves;
    std::size_t trees = 0;
    std::size_t splitsPerTree = 0;
    std::size_t leavesPerTree = 0;
  };
  dlib::matrix<float, 0, 1> initial_;
  std::vector<Forest> forests_;
  std::vector<std::vector<unsigned long>> anchors_;
  std::vector<std::vector<dlib::vector<float, 2>>> deltas_;
};

}  // namespace platform::vision
