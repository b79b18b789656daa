#include "tests/support/usbmuxd_socket.h"

#include <usbmuxd.h>

#include <cstdlib>

namespace talvik::test {

UsbmuxdSocket::UsbmuxdSocket() : path_(dir_.File("usbmuxd.sock"))
{
    libusbmuxd_set_use_inotify(0);
    setenv("USBMUXD_SOCKET_ADDRESS", address().c_str(), 1);
}

UsbmuxdSocket::~UsbmuxdSocket()
{
    unsetenv("USBMUXD_SOCKET_ADDRESS");
}

} // namespace talvik::test
