#include "session/socket_library.h"

#include <csignal>

namespace talvik {

// A write to a connection the phone has just closed must come back as an
// error on that connection, not end the whole process.
bool StartSocketLibrary()
{
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void StopSocketLibrary() {}

} // namespace talvik
