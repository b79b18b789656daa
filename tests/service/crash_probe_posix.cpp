// A program that installs the service's crash handler and then dies of
// SIGSEGV, writing to address 0x10.
#include "service/crash_handler.h"

#include <sys/resource.h>

#include <cstdint>

int main()
{
    // The test wants the report, not a core file.
    const rlimit noCore{0, 0};
    if (setrlimit(RLIMIT_CORE, &noCore) != 0)
        return 1;
    talvik::InstallCrashHandler();
    // Through a volatile value, so that the compiler cannot see the address
    // and put a trap instruction in place of the store.
    volatile std::uintptr_t address = 0x10;
    *reinterpret_cast<volatile int*>(address) = 1;
    return 0;
}
