#include "platform/compute/compute.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <opencv2/core.hpp>

namespace platform::compute {
namespace {

constexpr int kMostThreads = 4;

bool inEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// OpenBLAS's own controls, looked up at run time: the BLAS that dlib links may be another.
template <typename Function>
Function openBLAS(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_DEFAULT, name));
}

}  // namespace

int threadBudget() { return std::clamp(cv::getNumberOfCPUs(), 1, kMostThreads); }

void limitThreads() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!inEnvironment("OPENCV_FOR_THREADS_NUM")) cv::setNumThreads(threadBudget());
    if (!inEnvironment("OPENBLAS_NUM_THREADS") && !inEnvironment("GOTO_NUM_THREADS") &&
        !inEnvironment("OMP_NUM_THREADS")) {
      if (const auto set = openBLAS<void (*)(int)>("openblas_set_num_threads")) {
        set(kBlasThreads);
      }
    }
  });
}

int openCVThreads() { return cv::getNumThreads(); }

int blasThreads() {
  const auto get = openBLAS<int (*)()>("openblas_get_num_threads");
  return get ? get() : 1;
}

}  // namespace platform::compute
