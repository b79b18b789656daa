// Readability of a socket owned by someone else (the DNS-SD library's),
// checked with select() and a zero time-out: never waits.
#pragma once

namespace talvik {

// True when `socket` has data or a pending error to read; false when not,
// or when it cannot be polled.
bool SocketReadable(int socket);

} // namespace talvik
