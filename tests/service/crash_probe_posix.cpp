// A program that installs the service's crash handler and then dies of
// SIGSEGV: by writing to address 0x10, or with "overflow" by overflowing
// the stack of a second thread that holds a signal stack, as every thread
// the service starts does.
#include "base/signal_stack.h"
#include "service/crash_handler.h"

#include <sys/resource.h>

#include <cstdint>
#include <cstring>
#include <thread>

namespace {

// Each call keeps a frame of its own: the volatile buffer is used after the
// call, so it can be neither dropped nor turned into a loop. The depth limit
// is never reached (no thread stack holds a megabyte of frames a thousand
// times over); it only tells the compiler that the recursion ends.
int Deeper(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth == 1 << 30)
        return frame[0];
    return Deeper(depth + 1) + frame[0];
}

} // namespace

int main(int argc, char** argv)
{
    // The test wants the report, not a core file.
    const rlimit noCore{0, 0};
    if (setrlimit(RLIMIT_CORE, &noCore) != 0)
        return 1;
    talvik::InstallCrashHandler();
    if (argc > 1 && std::strcmp(argv[1], "overflow") == 0) {
        std::thread second([] {
            const talvik::SignalStack crashStack;
            Deeper(0);
        });
        second.join();
        return 0;
    }
    // Through a volatile value, so that the compiler cannot see the address
    // and put a trap instruction in place of the store.
    volatile std::uintptr_t address = 0x10;
    *reinterpret_cast<volatile int*>(address) = 1;
    return 0;
}
