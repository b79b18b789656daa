// CPU time of this process and of its threads, for the share of a core that
// the connection manager's threads use.
#pragma once

#include <sys/types.h>

#include <vector>

namespace talvik::bench {

// User plus system time of the whole process (getrusage RUSAGE_SELF).
double ProcessCpuSeconds();

// Time thread `tid` of this process has run, from the scheduler's own
// nanosecond count in /proc/self/task/<tid>/schedstat (its /stat counts
// 10 ms ticks, too coarse for an idle thread); 0 once the thread has gone.
double ThreadCpuSeconds(pid_t tid);

// CPU time of the calling thread (CLOCK_THREAD_CPUTIME_ID): work measured
// this way is not charged for other load on the machine.
double CallingThreadCpuSeconds();

// The calling thread's id as the kernel numbers it.
pid_t CurrentThreadId();

// The threads of this process that exist now.
std::vector<pid_t> ThreadIds();

// Threads in `now` that are not in `before`.
std::vector<pid_t> NewThreads(const std::vector<pid_t>& before, const std::vector<pid_t>& now);

} // namespace talvik::bench
