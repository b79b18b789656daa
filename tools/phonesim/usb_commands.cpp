#include "tools/phonesim/usb_commands.h"

#include "tools/phonesim/log.h"

#include <unistd.h>

#include <charconv>

namespace talvik::phonesim {

UsbCommands::UsbCommands(EventLoop& loop, UsbmuxdServer& server, int fd) : loop_(loop), server_(server), fd_(fd)
{
    loop_.Watch(fd_, [this] { OnReadable(); });
}

UsbCommands::~UsbCommands()
{
    if (watching_)
        loop_.Unwatch(fd_);
}

void UsbCommands::OnReadable()
{
    char chunk[256];
    const ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got <= 0) {
        // End of input: the simulator goes on without commands.
        loop_.Unwatch(fd_);
        watching_ = false;
        return;
    }
    pending_.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        Run(line);
    }
}

void UsbCommands::Run(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    if (line.empty())
        return;
    const std::size_t space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    std::optional<int> device;
    if (space != std::string_view::npos) {
        const std::string_view number = line.substr(space + 1);
        int value = 0;
        auto [end, status] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (status != std::errc() || end != number.data() + number.size()) {
            Log("command \"{}\": bad device number", line);
            return;
        }
        device = value;
    }
    bool known = true;
    if (verb == "attach")
        known = server_.Attach(device);
    else if (verb == "detach")
        known = server_.Detach(device);
    else {
        Log("command \"{}\": unknown; use attach [N] or detach [N]", line);
        return;
    }
    if (!known)
        Log("command \"{}\": no such device", line);
}

} // namespace talvik::phonesim
