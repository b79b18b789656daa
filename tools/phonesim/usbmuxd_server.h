// A stand-in for usbmuxd: the service's USB library connects to it as it
// would to the real daemon (usbmux_protocol.h), lists the simulated devices,
// subscribes to their attach and detach events, and opens a tunnel to port
// 5055 of a device whose camera app is running. The tunnel socket is then
// handed over, to carry the phone's stream.
#pragma once

#include "tools/phonesim/event_loop.h"
#include "tools/phonesim/sockets.h"
#include "tools/phonesim/usbmux_protocol.h"

#include <map>
#include <optional>

namespace talvik::phonesim {

inline constexpr std::uint16_t kPhonePort = 5055;

enum class DeviceKind {
    kPhone,        // valid device, camera app listening on port 5055
    kIdle,         // valid device, app not running: connections refused
    kNoProductId,  // product id 0
    kZeroHandle,   // handle 0
};

class UsbmuxdServer {
public:
    // Devices in list order; all attached or all detached at the start.
    UsbmuxdServer(EventLoop& loop, const std::vector<DeviceKind>& devices, bool attached);
    ~UsbmuxdServer();
    UsbmuxdServer(const UsbmuxdServer&) = delete;
    UsbmuxdServer& operator=(const UsbmuxdServer&) = delete;

    bool Listen(const Endpoint& endpoint, std::string& error);

    // A tunnel to a phone opened; the callee owns the socket from now on.
    // `early` holds what the client sent after its Connect request, which
    // belongs to the tunnel (normally nothing).
    std::function<void(int fd, int device, Bytes early)> onTunnel;
    // A device went away; its tunnels must be cut.
    std::function<void(int device)> onDetached;

    // Attach or detach one device by index, or all of them; listeners get
    // the events. False for an index out of range.
    bool Attach(std::optional<int> device);
    bool Detach(std::optional<int> device);
    // Detaches every attached device and attaches every detached one.
    void Toggle();

private:
    struct Device {
        DeviceKind kind;
        UsbDeviceRecord record;
        bool attached;
    };
    struct Client {
        int number = 0;
        Bytes buffer;
        bool listening = false;
    };

    void OnAccept();
    void OnReadable(int fd);
    // False when the client's connection ends here (closed, or a tunnel).
    bool Handle(int fd, Client& client, const UsbmuxHeader& header, std::span<const std::uint8_t> body);
    bool HandleConnect(int fd, Client& client, const UsbmuxHeader& header, const UsbmuxRequest& request);
    void SetAttached(int device, bool attached);
    void Reply(int fd, const Bytes& message);
    void Drop(int fd);

    EventLoop& loop_;
    std::vector<Device> devices_;
    std::map<int, Client> clients_;
    int listenFd_ = -1;
    std::string unixPath_;
    int nextClient_ = 1;
};

} // namespace talvik::phonesim
