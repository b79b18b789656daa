#include "base/console_status.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace talvik {
namespace {

std::atomic<bool> shown{false};

} // namespace

void ShowConsoleStatus(bool show)
{
    shown = show;
}

void ConsoleStatus(std::string_view line)
{
    if (!shown)
        return;
    const std::string text = "talvik: " + std::string(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

} // namespace talvik
