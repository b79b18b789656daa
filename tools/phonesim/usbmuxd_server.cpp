#include "tools/phonesim/usbmuxd_server.h"

#include "tools/phonesim/log.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace talvik::phonesim {

namespace {

// The real daemon's messages are a few kilobytes at most.
constexpr std::uint32_t kMaxRequest = 1 << 20;

const char* KindName(DeviceKind kind)
{
    switch (kind) {
    case DeviceKind::kPhone: return "phone";
    case DeviceKind::kIdle: return "idle";
    case DeviceKind::kNoProductId: return "no-product-id";
    case DeviceKind::kZeroHandle: return "zero-handle";
    }
    return "";
}

} // namespace

UsbmuxdServer::UsbmuxdServer(EventLoop& loop, const std::vector<DeviceKind>& devices, bool attached) : loop_(loop)
{
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceKind kind = devices[i];
        UsbDeviceRecord record;
        record.handle = kind == DeviceKind::kZeroHandle ? 0 : static_cast<std::uint32_t>(i + 1);
        record.productId = kind == DeviceKind::kNoProductId ? 0 : 0x7a1c;
        record.udid = fmt::format("5eed{:036x}", i + 1);
        record.location = 0x01100000 + static_cast<std::uint32_t>(i);
        devices_.push_back({kind, record, attached});
    }
}

UsbmuxdServer::~UsbmuxdServer()
{
    for (const auto& [fd, client] : clients_) {
        loop_.Unwatch(fd);
        close(fd);
    }
    if (listenFd_ >= 0) {
        loop_.Unwatch(listenFd_);
        close(listenFd_);
    }
    if (!unixPath_.empty())
        unlink(unixPath_.c_str());
}

bool UsbmuxdServer::Listen(const Endpoint& endpoint, std::string& error)
{
    listenFd_ = phonesim::Listen(endpoint, error);
    if (listenFd_ < 0)
        return false;
    unixPath_ = endpoint.unixPath;
    loop_.Watch(listenFd_, [this] { OnAccept(); });
    Log("usbmuxd: listening on {}", endpoint.ToString());
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const Device& device = devices_[i];
        Log("usbmuxd: device {}: {}, handle {}, product id {}, UDID {}, {}", i, KindName(device.kind),
            device.record.handle, device.record.productId, device.record.udid,
            device.attached ? "attached" : "detached");
    }
    return true;
}

void UsbmuxdServer::OnAccept()
{
    const int fd = Accept(listenFd_);
    if (fd < 0)
        return;
    Client& client = clients_[fd];
    client.number = nextClient_++;
    loop_.Watch(fd, [this, fd] { OnReadable(fd); });
}

void UsbmuxdServer::OnReadable(int fd)
{
    auto it = clients_.find(fd);
    if (it == clients_.end())
        return;
    Client& client = it->second;
    std::uint8_t chunk[4096];
    const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        Drop(fd);
        return;
    }
    client.buffer.insert(client.buffer.end(), chunk, chunk + got);

    while (std::optional<UsbmuxHeader> header = ParseUsbmuxHeader(client.buffer)) {
        if (header->length < kUsbmuxHeaderSize || header->length > kMaxRequest) {
            Log("usbmuxd: client {}: message of {} bytes; closing", client.number, header->length);
            Drop(fd);
            return;
        }
        if (client.buffer.size() < header->length)
            return;
        const Bytes message(client.buffer.begin(), client.buffer.begin() + header->length);
        client.buffer.erase(client.buffer.begin(), client.buffer.begin() + header->length);
        if (!Handle(fd, client, *header, std::span(message).subspan(kUsbmuxHeaderSize)))
            return;
    }
}

bool UsbmuxdServer::Handle(int fd, Client& client, const UsbmuxHeader& header, std::span<const std::uint8_t> body)
{
    std::optional<UsbmuxRequest> request;
    if (header.version == kUsbmuxVersion && header.message == kUsbmuxPlistMessage)
        request = ParseUsbmuxRequest(body);
    if (!request) {
        Log("usbmuxd: client {}: not a plist request (version {}, message {}); answering BADCOMMAND",
            client.number, header.version, header.message);
        Reply(fd, WriteUsbmuxResult(header.tag, kResultBadCommand));
        return true;
    }

    if (request->messageType == "ListDevices") {
        std::vector<UsbDeviceRecord> attached;
        for (const Device& device : devices_)
            if (device.attached)
                attached.push_back(device.record);
        Log("usbmuxd: client {}: ListDevices: {} devices", client.number, attached.size());
        Reply(fd, WriteUsbmuxDeviceList(header.tag, attached));
        return true;
    }
    if (request->messageType == "Listen") {
        Log("usbmuxd: client {}: Listen", client.number);
        client.listening = true;
        Reply(fd, WriteUsbmuxResult(header.tag, kResultOk));
        for (const Device& device : devices_)
            if (device.attached)
                Reply(fd, WriteUsbmuxAttached(device.record));
        return true;
    }
    if (request->messageType == "Connect")
        return HandleConnect(fd, client, header, *request);

    Log("usbmuxd: client {}: {} is not supported; answering BADCOMMAND", client.number, request->messageType);
    Reply(fd, WriteUsbmuxResult(header.tag, kResultBadCommand));
    return true;
}

bool UsbmuxdServer::HandleConnect(int fd, Client& client, const UsbmuxHeader& header, const UsbmuxRequest& request)
{
    int index = -1;
    for (std::size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].attached && devices_[i].record.handle == request.deviceId) {
            index = static_cast<int>(i);
            break;
        }
    std::uint32_t result = kResultOk;
    if (index < 0)
        result = kResultBadDevice;
    else if (devices_[index].kind != DeviceKind::kPhone || request.port != kPhonePort)
        result = kResultConnectionRefused;
    Log("usbmuxd: client {}: Connect to device handle {} port {}: result {}", client.number, request.deviceId,
        request.port, result);
    Reply(fd, WriteUsbmuxResult(header.tag, result));
    if (result != kResultOk)
        return true;

    // From here on the connection is the phone's stream, not usbmuxd's.
    if (!client.buffer.empty())
        Log("usbmuxd: client {}: {} bytes arrived before the tunnel opened; the phone reads them first",
            client.number, client.buffer.size());
    loop_.Unwatch(fd);
    Bytes early = std::move(client.buffer);
    clients_.erase(fd);
    if (onTunnel)
        onTunnel(fd, index, std::move(early));
    return false;
}

bool UsbmuxdServer::Attach(std::optional<int> device)
{
    if (device && (*device < 0 || *device >= static_cast<int>(devices_.size())))
        return false;
    for (int i = 0; i < static_cast<int>(devices_.size()); ++i)
        if (!device || *device == i)
            SetAttached(i, true);
    return true;
}

bool UsbmuxdServer::Detach(std::optional<int> device)
{
    if (device && (*device < 0 || *device >= static_cast<int>(devices_.size())))
        return false;
    for (int i = 0; i < static_cast<int>(devices_.size()); ++i)
        if (!device || *device == i)
            SetAttached(i, false);
    return true;
}

void UsbmuxdServer::Toggle()
{
    for (int i = 0; i < static_cast<int>(devices_.size()); ++i)
        SetAttached(i, !devices_[i].attached);
}

void UsbmuxdServer::SetAttached(int index, bool attached)
{
    Device& device = devices_[index];
    if (device.attached == attached)
        return;
    device.attached = attached;
    Log("usbmuxd: device {} {}", index, attached ? "attached" : "detached");
    const Bytes event = attached ? WriteUsbmuxAttached(device.record) : WriteUsbmuxDetached(device.record.handle);
    for (const auto& [fd, client] : clients_)
        if (client.listening)
            Reply(fd, event);
    if (!attached && onDetached)
        onDetached(index);
}

void UsbmuxdServer::Reply(int fd, const Bytes& message)
{
    // Small messages to a local client; a client that does not read them is
    // not worth waiting for.
    [[maybe_unused]] ssize_t sent = send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void UsbmuxdServer::Drop(int fd)
{
    loop_.Unwatch(fd);
    close(fd);
    clients_.erase(fd);
}

} // namespace talvik::phonesim
