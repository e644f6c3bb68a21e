// The threads the numeric work of a camera frame may use: the face search's own threads, the
// thread pool of the OpenCV networks (hand pose, liveness) and the BLAS threads of the dlib
// descriptor network. All of them together stay within `threadBudget()`: the processors this
// process may run on, at most four, so recognising a face leaves the rest of the machine free.
#pragma once

namespace platform::compute {

// The processors this process may run on (its affinity), at most 4; at least 1.
int threadBudget();

// The BLAS threads of one descriptor: more than two only add waiting on the small matrices of
// the 150 x 150 network.
inline constexpr int kBlasThreads = 2;

// Sizes the OpenCV pool to `threadBudget()` and OpenBLAS to `kBlasThreads` (at most the
// budget), each unless the environment sizes it (OPENCV_FOR_THREADS_NUM; OPENBLAS_NUM_THREADS,
// GOTO_NUM_THREADS or OMP_NUM_THREADS). Done once per process; later calls do nothing.
void limitThreads();

// What the two pools run with now (the BLAS count is 1 for a BLAS other than OpenBLAS).
int openCVThreads();
int blasThreads();

}  // namespace platform::compute
