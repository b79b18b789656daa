#include "base/console_status.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace talvik {
namespace {

std::atomic<bool> shown{false};

std::mutex factsMutex;
std::map<std::string, std::string, std::less<>> facts; // topic -> last line

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

void ConsoleFact(std::string_view topic, std::string_view line)
{
    if (!shown)
        return;
    {
        std::lock_guard<std::mutex> lock(factsMutex);
        auto [known, added] = facts.try_emplace(std::string(topic), line);
        if (!added && known->second == line)
            return;
        known->second = line;
    }
    ConsoleStatus(line);
}

} // namespace talvik
