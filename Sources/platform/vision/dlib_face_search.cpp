#include "platform/vision/dlib_face_search.hpp"

#include <algorithm>
#include <exception>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace platform::vision {

WorkerPool::WorkerPool(int threads) {
  for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void WorkerPool::run(const std::function<void()>& body) {
  std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
  if (!busy.owns_lock() || workers_.empty()) {
    body();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = &body;
    ++round_;
    running_ = static_cast<int>(workers_.size());
  }
  wake_.notify_all();
  std::exception_ptr failure;
  try {
    body();
  } catch (...) {
    failure = std::current_exception();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return running_ == 0; });
  body_ = nullptr;
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
}

void WorkerPool::work() {
  std::uint64_t seen = 0;
  for (;;) {
    const std::function<void()>* body = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
      if (stopping_) return;
      seen = round_;
      body = body_;
    }
    try {
      (*body)();
    } catch (...) {
      // The bodies run here keep their own failures; nothing may end a worker.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (--running_ == 0) done_.notify_all();
  }
}

// One search: the pyramid's level images, their features and the filters' detections, made
// by tasks that the pool's threads take in list order as soon as what a task reads is ready.
struct DlibFaceSearch::Job {
  using Detections = std::vector<std::pair<double, dlib::rectangle>>;
  enum class Kind { pyramid, firstFeatures, level, firstLevelFilter };
  struct Task {
    Kind kind;
    std::size_t index;
  };

  Job(const GreyImage& image, const DlibFaceSearch& search) : image(image), search(search) {
    const Scanner& base = search.detector_.get_scanner();
    // As many levels as dlib's own pyramid has for this image.
    dlib::pyramid_down<6> pyramid;
    dlib::rectangle rect = dlib::get_rect(image);
    std::size_t levels = 0;
    do {
      rect = pyramid.rect_down(rect);
      ++levels;
    } while (rect.width() >= base.get_min_pyramid_layer_width() &&
             rect.height() >= base.get_min_pyramid_layer_height() &&
             levels < base.get_max_pyramid_levels());
    images.resize(levels);
    for (std::size_t l = 0; l < levels; ++l) {
      scanners.push_back(std::make_unique<Scanner>());
      scanners.back()->copy_configuration(base);
      scanners.back()->set_max_pyramid_levels(1);
    }
    found.assign(levels, std::vector<Detections>(search.filters_.size()));
    // The largest levels first; the first level's filters as soon as its features exist.
    if (levels > 1) tasks.push_back({Kind::pyramid, 0});
    tasks.push_back({Kind::firstFeatures, 0});
    for (std::size_t l = 1; l < std::min<std::size_t>(levels, 3); ++l) tasks.push_back({Kind::level, l});
    for (std::size_t f = 0; f < search.filters_.size(); ++f) tasks.push_back({Kind::firstLevelFilter, f});
    for (std::size_t l = 3; l < levels; ++l) tasks.push_back({Kind::level, l});
    taken.assign(tasks.size(), false);
  }

  bool ready(const Task& task) const {
    switch (task.kind) {
      case Kind::pyramid:
      case Kind::firstFeatures:
        return true;
      case Kind::level:
        return imagesReady > task.index;
      case Kind::firstLevelFilter:
        return firstFeaturesReady;
    }
    return false;
  }

  void filter(std::size_t level, std::size_t f) {
    const auto& filters = search.filters_;
    scanners[level]->detect(filters[f], found[level][f], search.thresholds_[f]);
    dlib::pyramid_down<6> pyramid;
    for (auto& detection : found[level][f]) detection.second = pyramid.rect_up(detection.second, level);
  }

  void run(const Task& task) {
    switch (task.kind) {
      case Kind::pyramid: {
        // Each level from the one before, as dlib builds its pyramid.
        dlib::pyramid_down<6> pyramid;
        for (std::size_t l = 1; l < images.size(); ++l) {
          if (l == 1) {
            pyramid(image, images[1]);
          } else {
            pyramid(images[l - 1], images[l]);
          }
          std::lock_guard<std::mutex> lock(mutex);
          imagesReady = l + 1;
          changed.notify_all();
        }
        break;
      }
      case Kind::firstFeatures: {
        scanners[0]->load(image);
        std::lock_guard<std::mutex> lock(mutex);
        firstFeaturesReady = true;
        changed.notify_all();
        break;
      }
      case Kind::level:
        scanners[task.index]->load(images[task.index]);
        for (std::size_t f = 0; f < search.filters_.size(); ++f) filter(task.index, f);
        break;
      case Kind::firstLevelFilter:
        filter(0, task.index);
        break;
    }
  }

  // The body every thread runs: take the first ready task until none is left.
  void work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (failure) return;
      std::size_t pick = tasks.size();
      bool left = false;
      for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (taken[i]) continue;
        left = true;
        if (ready(tasks[i])) {
          pick = i;
          break;
        }
      }
      if (!left) return;
      if (pick == tasks.size()) {
        changed.wait(lock);
        continue;
      }
      taken[pick] = true;
      lock.unlock();
      try {
        run(tasks[pick]);
      } catch (...) {
        lock.lock();
        if (!failure) failure = std::current_exception();
        changed.notify_all();
        return;
      }
      lock.lock();
    }
  }

  const GreyImage& image;
  const DlibFaceSearch& search;
  std::vector<dlib::array2d<unsigned char>> images;  // [0] is `image` itself
  std::vector<std::unique_ptr<Scanner>> scanners;  // one a level, each loaded with that level
  std::vector<std::vector<Detections>> found;  // [level][filter]
  std::vector<Task> tasks;
  std::vector<bool> taken;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t imagesReady = 1;
  bool firstFeaturesReady = false;
  std::exception_ptr failure;
};

DlibFaceSearch::DlibFaceSearch(int threads)
    : detector_(dlib::get_frontal_face_detector()), pool_(std::max(1, threads)) {
  const Scanner& scanner = detector_.get_scanner();
  for (unsigned long i = 0; i < detector_.num_detectors(); ++i) {
    filters_.push_back(scanner.build_fhog_filterbank(detector_.get_w(i)));
    thresholds_.push_back(detector_.get_w(i)(scanner.get_num_dimensions()));
  }
}

std::vector<dlib::rect_detection> DlibFaceSearch::operator()(const GreyImage& image) {
  Job job(image, *this);
  pool_.run([&job] { job.work(); });
  if (job.failure) std::rethrow_exception(job.failure);

  // dlib's merge: per filter, the detections of every level best first; then all of them
  // best first, each kept unless it overlaps one kept before.
  std::vector<dlib::rect_detection> all;
  for (std::size_t f = 0; f < filters_.size(); ++f) {
    Job::Detections detections;
    for (const auto& level : job.found) detections.insert(detections.end(), level[f].begin(), level[f].end());
    std::sort(detections.rbegin(), detections.rend(), dlib::impl::compare_pair_rect);
    for (const auto& [score, rect] : detections) {
      dlib::rect_detection detection;
      detection.detection_confidence = score - thresholds_[f];
      detection.weight_index = f;
      detection.rect = rect;
      all.push_back(detection);
    }
  }
  if (filters_.size() > 1) std::sort(all.rbegin(), all.rend());
  std::vector<dlib::rect_detection> kept;
  const dlib::test_box_overlap& overlaps = detector_.get_overlap_tester();
  for (const auto& detection : all) {
    const bool covered = std::any_of(kept.begin(), kept.end(),
                                     [&](const dlib::rect_detection& k) { return overlaps(k.rect, detection.rect); });
    if (!covered) kept.push_back(detection);
  }
  return kept;
}

DlibShapeModel::DlibShapeModel(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw dlib::serialization_error("Unable to open " + path + " for reading.");
  int version = 0;
  dlib::deserialize(version, in);
  if (version != 1) throw dlib::serialization_error("Unexpected version found while deserializing dlib::shape_predictor.");
  std::vector<std::vector<dlib::impl::regression_tree>> forests;
  dlib::deserialize(initial_, in);
  dlib::deserialize(forests, in);
  dlib::deserialize(anchors_, in);
  dlib::deserialize(deltas_, in);
  if (anchors_.size() != forests.size() || deltas_.size() != forests.size() || initial_.size() == 0 ||
      initial_.size() % 2 != 0) {
    throw dlib::serialization_error("The shape predictor's cascade is inconsistent.");
  }
  const auto values = static_cast<std::size_t>(initial_.size());
  for (const auto& trees : forests) {
    Forest forest;
    forest.trees = trees.size();
    if (!trees.empty()) {
      forest.splitsPerTree = trees.front().splits.size();
      forest.leavesPerTree = trees.front().leaf_values.size();
    }
    for (const auto& tree : trees) {
      if (tree.splits.size() != forest.splitsPerTree || tree.leaf_values.size() != forest.leavesPerTree ||
          forest.leavesPerTree != forest.splitsPerTree + 1) {
        throw dlib::serialization_error("The shape predictor's trees are not all alike.");
      }
      for (const auto& split : tree.splits) {
        forest.splits.push_back({static_cast<std::uint32_t>(split.idx1), static_cast<std::uint32_t>(split.idx2), split.thresh});
      }
      for (const auto& leaf : tree.leaf_values) {
        if (static_cast<std::size_t>(leaf.size()) != values) {
          throw dlib::serialization_error("The shape predictor's leaves do not match its shape.");
        }
        forest.leaves.insert(forest.leaves.end(), leaf.begin(), leaf.end());
      }
    }
    forests_.push_back(std::move(forest));
  }
}

std::vector<dlib::dpoint> DlibShapeModel::meanShape() const {
  std::vector<dlib::dpoint> points;
  for (long i = 0; i + 1 < initial_.size(); i += 2) points.emplace_back(initial_(i), initial_(i + 1));
  return points;
}

dlib::full_object_detection DlibShapeModel::operator()(const GreyImage& image,
                                                       const dlib::rectangle& box) const {
  // A leaf is fetched this many trees before it is added.
  constexpr std::size_t kAhead = 8;
  const auto values = static_cast<std::size_t>(initial_.size());
  dlib::matrix<float, 0, 1> shape = initial_;
  std::vector<float> pixels;
  std::vector<const float*> chosen;
  for (std::size_t level = 0; level < forests_.size(); ++level) {
    dlib::impl::extract_feature_pixel_values(image, box, shape, initial_, anchors_[level], deltas_[level], pixels);
    const Forest& forest = forests_[level];
    // Every tree of a level reads the same pixel values, so all leaves are found first...
    chosen.resize(forest.trees);
    for (std::size_t t = 0; t < forest.trees; ++t) {
      const Split* splits = forest.splits.data() + t * forest.splitsPerTree;
      std::size_t node = 0;
      while (node < forest.splitsPerTree) {
        const Split& s = splits[node];
        node = pixels[s.first] - pixels[s.second] > s.threshold ? 2 * node + 1 : 2 * node + 2;
      }
      chosen[t] = forest.leaves.data() + (t * forest.leavesPerTree + node - forest.splitsPerTree) * values;
    }
    // ...then added in tree order, as dlib adds them.
    float* sum = &shape(0);
    for (std::size_t t = 0; t < forest.trees; ++t) {
      if (t + kAhead < forest.trees) {
        const char* next = reinterpret_cast<const char*>(chosen[t + kAhead]);
        for (std::size_t byte = 0; byte < values * sizeof(float); byte += 64) __builtin_prefetch(next + byte);
      }
      const float* leaf = chosen[t];
      for (std::size_t i = 0; i < values; ++i) sum[i] += leaf[i];
    }
  }
  const dlib::point_transform_affine toImage = dlib::impl::unnormalizing_tform(box);
  std::vector<dlib::point> parts(values / 2);
  for (std::size_t i = 0; i < parts.size(); ++i) parts[i] = toImage(dlib::impl::location(shape, i));
  return dlib::full_object_detection(box, parts);
}

}  // namespace platform::vision
