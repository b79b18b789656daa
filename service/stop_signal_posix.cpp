#include "service/stop_signal.h"

#include <csignal>
#include <pthread.h>

namespace talvik {

void WaitForStopSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Blocked first so that the signal waits for sigwait instead of killing
    // the process (threads started later inherit the mask).
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int received = 0;
    sigwait(&set, &received);
}

} // namespace talvik
