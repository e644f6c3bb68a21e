// The threads the numeric work of a camera frame runs on: the face search's own threads, the
// thread pool of the OpenCV networks (hand pose, liveness) and the BLAS threads of the dlib
// descriptor network. No pool has more than `threadBudget()` threads: the processors this
// process may run on, at most four (the face search and the open-hand check, which run at the
// same time, share them), so recognising a face leaves the rest of a larger machine free.
#pragma once

namespace platform::compute {

// The processors this process may run on (its affinity), at most 4; at least 1.
int threadBudget();

// The BLAS threads of one descriptor: one. A second thread saves about 3 of its 15 ms on an
// idle machine, but OpenBLAS's helper threads spin for a while after every product, and in
// the frame road they then slow the open-hand check running beside the descriptor from 12 to
// 30 ms (on a loaded machine a descriptor with eight threads took 20 to 230 ms).
inline constexpr int kBlasThreads = 1;

// Sizes the OpenCV pool to `threadBudget()` and OpenBLAS to `kBlasThreads`, each unless the
// environment sizes it (OPENCV_FOR_THREADS_NUM; OPENBLAS_NUM_THREADS, GOTO_NUM_THREADS or
// OMP_NUM_THREADS). Done once per process; later calls do nothing.
void limitThreads();

// What the two pools run with now (the BLAS count is 1 for a BLAS other than OpenBLAS).
int openCVThreads();
int blasThreads();

}  // namespace platform::compute
