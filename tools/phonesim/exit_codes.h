// The simulator's exit codes, which tests rely on.
#pragma once

#include "tools/phonesim/session.h"

namespace talvik::phonesim {

enum ExitCode : int {
    kExitOk = 0,              // stopped at its bound, or the phone closed on purpose
    kExitFailure = 1,         // could not listen, connect, register or encode
    kExitUsage = 2,           // bad command line
    kExitServiceClosed = 3,   // the service closed the connection
    kExitNoService = 4,       // no service connected within --duration
    kExitServiceInvalid = 5,  // the service sent something it never should
};

// The exit code for a run whose last session ended this way.
inline ExitCode ExitCodeFor(SessionEnd end)
{
    switch (end) {
    case SessionEnd::kFinished:
    case SessionEnd::kStopped: return kExitOk;
    case SessionEnd::kServiceClosed: return kExitServiceClosed;
    case SessionEnd::kServiceInvalid: return kExitServiceInvalid;
    case SessionEnd::kFailed: return kExitFailure;
    }
    return kExitFailure;
}

} // namespace talvik::phonesim
