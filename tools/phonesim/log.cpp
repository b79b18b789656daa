#include "tools/phonesim/log.h"

#include <chrono>
#include <cstdio>
#include <mutex>

namespace talvik::phonesim {

namespace {

std::mutex g_mutex;
std::FILE* g_out = nullptr;
const auto g_start = std::chrono::steady_clock::now();

} // namespace

bool OpenLog(const std::string& path)
{
    std::lock_guard lock(g_mutex);
    if (path.empty()) {
        g_out = stderr;
        return true;
    }
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr)
        return false;
    g_out = file;
    return true;
}

void LogLine(std::string_view line)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
    const std::string text = fmt::format("[{:9.3f}] {}\n", seconds, line);
    std::lock_guard lock(g_mutex);
    std::FILE* out = g_out != nullptr ? g_out : stderr;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

} // namespace talvik::phonesim
