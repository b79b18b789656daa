#include "tests/bench/cpu_time.h"

#include "tests/support/temp_dir.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>

namespace talvik::bench {

double CallingThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ThreadCpuSeconds(pid_t tid)
{
    // Fields: time on the CPU, time waiting to run (both in ns), time slices.
    std::istringstream fields(test::ReadFile("/proc/self/task/" + std::to_string(tid) + "/schedstat"));
    unsigned long long runNs = 0;
    fields >> runNs;
    return static_cast<double>(runNs) / 1e9;
}

pid_t CurrentThreadId()
{
    return gettid();
}

std::vector<pid_t> ThreadIds()
{
    std::vector<pid_t> ids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error))
        ids.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<pid_t> NewThreads(const std::vector<pid_t>& before, const std::vector<pid_t>& now)
{
    std::vector<pid_t> added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

} // namespace talvik::bench
