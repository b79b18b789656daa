#include "base/signal_stack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace talvik {

namespace {

static_assert(sizeof(stack_t) <= 32, "the previous stack_t must fit its room");

std::size_t PageBytes()
{
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

} // namespace

SignalStack::SignalStack()
{
    // One inaccessible page below the stack, so that a handler that
    // overflows it too faults at once instead of writing over other memory.
    const std::size_t guard = PageBytes();
    void* memory = mmap(nullptr, guard + kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return;
    memory_ = memory;
    if (mprotect(memory_, guard, PROT_NONE) != 0)
        return;
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(memory_) + guard;
    stack.ss_size = kBytes;
    stack_t previous{};
    if (sigaltstack(&stack, &previous) != 0)
        return;
    std::memcpy(previous_, &previous, sizeof previous);
    installed_ = true;
}

SignalStack::~SignalStack()
{
    if (installed_) {
        stack_t previous{};
        std::memcpy(&previous, previous_, sizeof previous);
        if ((previous.ss_flags & SS_DISABLE) != 0) {
            previous = stack_t{};
            previous.ss_flags = SS_DISABLE;
        }
        // Only once the thread no longer uses it may the memory go.
        if (sigaltstack(&previous, nullptr) != 0)
            return;
    }
    if (memory_)
        munmap(memory_, PageBytes() + kBytes);
}

} // namespace talvik
