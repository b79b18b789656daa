#include "base/logging.h"

#include <spdlog/sinks/msvc_sink.h>

#include <mutex>

namespace talvik {

spdlog::sink_ptr MakeDebuggerSink()
{
    return std::make_shared<spdlog::sinks::msvc_sink<std::mutex>>();
}

} // namespace talvik
