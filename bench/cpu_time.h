// CPU time for the benchmarks that compare with a peer tool run as a child process: the machine
// may be busy with other work, and CPU time is what a multiple of real time on one core is about.
#pragma once

#include <sys/resource.h>
#include <time.h>

namespace bench {

// CPU seconds of the calling thread.
inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds (user and system) of every child process waited for so far.
inline double ChildrenCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  const auto sec = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

}  // namespace bench
