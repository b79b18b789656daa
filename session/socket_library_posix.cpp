#include "session/socket_library.h"

namespace talvik {

bool StartSocketLibrary()
{
    return true;
}

void StopSocketLibrary() {}

} // namespace talvik
