#include "session/socket_poll.h"

#include <poll.h>

namespace talvik {

// poll() rather than select(): no limit on the descriptor's value.
bool SocketReadable(int socket)
{
    if (socket < 0)
        return false;
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

} // namespace talvik
