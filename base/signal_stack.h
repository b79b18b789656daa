// An alternative signal stack for the calling thread, for as long as the
// object lives, so that a fatal-signal handler (the service's crash report)
// still runs when the thread's own stack is what overflowed: the kernel
// delivers such a signal on the faulting thread, which without a stack of
// its own to spare dies without a report.
//
// Every thread the system starts holds one for its whole run, as the first
// thing it does. The stack the thread had before (a sanitizer's, say) is put
// back when the object goes. Nothing on Windows, which has no signal
// stacks; its crash filter stays as it is.
#pragma once

#include <cstddef>

namespace talvik {

class SignalStack {
public:
    SignalStack();
    ~SignalStack();
    SignalStack(const SignalStack&) = delete;
    SignalStack& operator=(const SignalStack&) = delete;

    // False when the stack could not be made or installed (then a crash on
    // this thread writes no report, as before).
    bool installed() const { return installed_; }

    static constexpr std::size_t kBytes = 64 * 1024;

private:
    void* memory_ = nullptr;
    bool installed_ = false;
    alignas(16) unsigned char previous_[32] = {}; // the thread's stack_t before
};

} // namespace talvik
