// Cost of the process checks the unlocker repeats before every key event it posts: the
// kernel record of a process (read from /proc) and its running-application record.
// Run on one core: taskset -c 0 ./bench_lock_watch
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "platform/processes/processes_linux.hpp"
#include "platform/workspace/applications_linux.hpp"

namespace {

void BM_ProcessRecordOfThisProcess(benchmark::State& state) {
  platform::processes::LinuxProcesses processes;
  platform::processes::BSDInfo info;
  const pid_t pid = ::getpid();
  for (auto _ : state) {
    benchmark::DoNotOptimize(processes.pidInfoBSD(pid, &info));
  }
}
BENCHMARK(BM_ProcessRecordOfThisProcess);

void BM_RunningApplicationOfThisProcess(benchmark::State& state) {
  platform::workspace::LinuxRunningApplications applications;
  const pid_t pid = ::getpid();
  for (auto _ : state) {
    auto record = applications.runningApplication(pid);
    benchmark::DoNotOptimize(record->isTerminated());
  }
}
BENCHMARK(BM_RunningApplicationOfThisProcess);

}  // namespace
