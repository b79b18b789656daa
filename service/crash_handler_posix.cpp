// Linux: a handler for the fatal signals. Everything the handler needs is
// prepared when it is installed; inside it only async-signal-safe calls are
// made (clock_gettime, open, write, close, sigaction, raise, and
// backtrace/backtrace_symbols_fd, whose library is loaded beforehand).
#include "service/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace talvik {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr std::size_t kAltStackBytes = 64 * 1024;

// The executable's directory with its trailing slash; empty when unknown.
char reportDirectory[4096];
// Room for the handler of the installing thread even when its own stack is
// what overflowed. Other threads run the handler on their own stacks.
alignas(16) char altStack[kAltStackBytes];
struct sigaction previousActions[NSIG];

// Text of fixed capacity, filled without allocating.
class Line {
public:
    void Add(const char* text)
    {
        for (; *text != '\0' && length_ < sizeof text_; ++text)
            text_[length_++] = *text;
    }
    void AddNumber(std::uint64_t value, unsigned base)
    {
        char digits[64];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0 && length_ < sizeof text_)
            text_[length_++] = digits[--count];
    }
    // For a path: the text with its terminator, or nothing when it was cut.
    const char* Terminated()
    {
        if (length_ >= sizeof text_)
            return nullptr;
        text_[length_] = '\0';
        return text_;
    }
    void WriteTo(int fd) const
    {
        std::size_t done = 0;
        while (done < length_) {
            const ssize_t written = write(fd, text_ + done, length_ - done);
            if (written <= 0)
                return;
            done += static_cast<std::size_t>(written);
        }
    }

private:
    char text_[4200];
    std::size_t length_ = 0;
};

std::uint64_t MillisecondsSinceBoot()
{
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// Only a signal the kernel raised for a faulting instruction carries an
// address; one sent by kill, raise or abort carries the sender instead.
bool HasFaultAddress(const siginfo_t* info)
{
    return info != nullptr && info->si_code > 0;
}

void WriteReport(int signal, const siginfo_t* info)
{
    if (reportDirectory[0] == '\0')
        return;
    Line path;
    path.Add(reportDirectory);
    path.Add("crash");
    path.AddNumber(MillisecondsSinceBoot(), 10);
    path.Add(".txt");
    const char* name = path.Terminated();
    if (name == nullptr)
        return;
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    Line text;
    text.Add("Fatal signal ");
    text.AddNumber(static_cast<std::uint64_t>(signal), 10);
    text.Add("\n");
    if (HasFaultAddress(info)) {
        text.Add("Fault address 0x");
        text.AddNumber(reinterpret_cast<std::uintptr_t>(info->si_addr), 16);
        text.Add("\n");
    }
    text.Add("Backtrace:\n");
    text.WriteTo(fd);
    void* frames[kMaxFrames];
    backtrace_symbols_fd(frames, backtrace(frames, kMaxFrames), fd);
    close(fd);
}

void OnFatalSignal(int signal, siginfo_t* info, void*)
{
    WriteReport(signal, info);
    // The signal is blocked while this runs: raised again, it is delivered
    // as soon as the handler returns, now to whatever handled it before
    // (usually the default action, which ends the process). Should putting
    // it back fail, SA_RESETHAND has already restored the default.
    sigaction(signal, &previousActions[signal], nullptr);
    raise(signal);
}

void RememberReportDirectory()
{
    const ssize_t length = readlink("/proc/self/exe", reportDirectory, sizeof reportDirectory - 1);
    if (length <= 0)
        return;
    reportDirectory[length] = '\0';
    char* slash = std::strrchr(reportDirectory, '/');
    if (slash == nullptr)
        reportDirectory[0] = '\0';
    else
        slash[1] = '\0';
}

} // namespace

void InstallCrashHandler()
{
    RememberReportDirectory();
    // The first backtrace loads its unwinder library, which allocates: do
    // it now, not in the handler.
    void* frame[1];
    backtrace(frame, 1);

    stack_t stack{};
    stack.ss_sp = altStack;
    stack.ss_size = sizeof altStack;
    const bool haveAltStack = sigaltstack(&stack, nullptr) == 0;

    struct sigaction action{};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | (haveAltStack ? SA_ONSTACK : 0);
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        if (sigaction(signal, &action, &previousActions[signal]) != 0)
            std::fprintf(stderr, "No crash report for signal %d: %s\n", signal, std::strerror(errno));
}

} // namespace talvik
