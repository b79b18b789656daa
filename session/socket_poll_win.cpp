#include "session/socket_poll.h"

#include <winsock2.h>

namespace talvik {

bool SocketReadable(int socket)
{
    const SOCKET s = static_cast<SOCKET>(static_cast<unsigned>(socket));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval zero{0, 0};
    return select(0, &readable, nullptr, nullptr, &zero) > 0;
}

} // namespace talvik
