#include "session/socket_library.h"

#include <winsock2.h>

namespace talvik {

bool StartSocketLibrary()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSocketLibrary()
{
    WSACleanup();
}

} // namespace talvik
