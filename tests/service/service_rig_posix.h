// TalvikSvc as a separate process with a private configuration: a free WiFi
// port, an install directory (log.txt at loglevel 3) and a runtime
// directory, where the tray socket, the file camera and the ring-file
// microphone are made. A stand-in "talviktray" in the install directory
// appends a line per start to "tray-starts.txt": its argument count, its
// argument and its blocked-signal mask.
#pragma once

#include "tests/service/camera_probe_posix.h"
#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvik::test {

class ServiceRig {
public:
    // `productSettings`: more "Name=value" lines for the product's key.
    explicit ServiceRig(const std::vector<std::string>& productSettings = {});

    // Starts the service with its USB library pointed at `usbmuxd`, and
    // `environment` ("NAME=value") added, which wins over the rig's own
    // (an empty value unsets one); `inTerminal`: with a terminal for
    // its standard error (script(1)), whose text Output() gives.
    void Start(const std::string& usbmuxd, const std::vector<std::string>& environment = {},
               bool inTerminal = false);
    std::string Output() const { return service_->Output(); }
    // The service's own process (script(1)'s child in a terminal); -1
    // while script has not started it yet.
    pid_t pid() const;
    // Whether the service runs (has neither ended nor crashed).
    bool Running() const;
    // SIGTERM to the service itself; its exit code.
    std::optional<int> Stop();

    std::uint16_t port() const { return port_; }
    std::string trayEndpoint() const { return run_ + "/talvikpipe"; }
    std::string camera() const { return run_ + "/talvik/camera"; }
    std::string ring() const { return run_ + "/talvik/audio"; }
    std::string unusedUsbmuxd() const { return "UNIX:" + root_.File("no-usbmuxd"); }
    std::string File(const std::string& name) const { return root_.File(name); }
    // The service's log, or the log file `file` beside it (the tray's).
    std::string Log(const std::string& file = "log.txt") const;
    // How many lines of that log read exactly `line` after their time stamp.
    int Count(const std::string& line, const std::string& file = "log.txt") const;
    std::string TrayStarts() const;

    // What a consumer of the rig's camera sees.
    CameraProbe cameraProbe() const { return CameraProbe(camera()); }

    // Polls `done` for up to 10 s.
    bool WaitFor(const std::function<bool()>& done) const;

private:
    TempDir root_;
    std::string install_;
    std::string run_;
    std::uint16_t port_;
    std::unique_ptr<HelperProcess> service_;
    bool inTerminal_ = false;
};

} // namespace talvik::test
