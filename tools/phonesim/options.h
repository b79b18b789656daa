// The simulator's command line: a mode, then options. Every option, its
// default and the modes it applies to are listed in one table, from which
// --help is generated.
#pragma once

#include "tools/phonesim/phone_config.h"
#include "tools/phonesim/sockets.h"
#include "tools/phonesim/usbmuxd_server.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace talvik::phonesim {

enum class Mode { kConnect, kListen, kUsb, kBench };

struct Options {
    Mode mode = Mode::kConnect;
    PhoneConfig phone;
    double durationSeconds = 60;
    int sessions = 1;  // 0: as many as come within the duration
    std::string logPath;

    // connect: the service's address; listen: the port (0: any free one).
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;

    std::string dnssdName = "mobile";
    bool dnssd = true;

    Endpoint usbmuxd;
    std::vector<DeviceKind> devices;
    bool devicesDetached = false;
    int flapMs = 1000;

    std::vector<std::pair<int, int>> benchSizes;
    std::uint32_t benchFrames = 300;
};

struct CommandLine {
    std::optional<Options> options;  // set when the command line is valid
    bool help = false;               // --help was given
    std::string error;               // why the command line is invalid
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();

} // namespace talvik::phonesim
