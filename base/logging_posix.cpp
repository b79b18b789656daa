#include "base/logging.h"

#include <spdlog/sinks/stdout_sinks.h>


namespace talvik {

// A foreground daemon's "debugger" is whoever watches its standard error
// (a terminal, or the journal under systemd).
spdlog::sink_ptr MakeDebuggerSink()
{
    return std::make_shared<spdlog::sinks::stderr_sink_mt>();
}

} // namespace talvik
