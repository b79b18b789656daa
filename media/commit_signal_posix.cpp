#include "media/commit_signal.h"

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace talvik {

struct CommitSignal::Handles {};

CommitSignal::CommitSignal() = default;
CommitSignal::~CommitSignal() = default;

void CommitSignal::Wake(std::uint32_t* word)
{
    // Shared futex (no FUTEX_PRIVATE_FLAG): the waiters are other processes.
    // Having no waiter is not a failure, and a failed wake costs a waiter no
    // more than its time-out, so the result is not needed.
    (void)syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace talvik
