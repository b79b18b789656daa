#include "tools/phonesim/options.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <functional>

namespace talvik::phonesim {

namespace {

// Modes an option applies to, as bits.
constexpr unsigned kConnect = 1, kListen = 2, kUsb = 4, kBench = 8;
constexpr unsigned kPhone = kConnect | kListen | kUsb;
constexpr unsigned kAll = kPhone | kBench;

constexpr const char* kDefaultFormats =
    "640x480@30:h264,960x540@30:h264,1280x720@30:h264,1920x1080@30:h264,1280x720@30:mpeg4";

struct Parsed {
    Options options;
    bool clientTypeGiven = false;
    bool faultAfterGiven = false;
    bool faultSizeGiven = false;
    bool portGiven = false;
    bool framesGiven = false;
};

using Apply = std::function<bool(Parsed&, std::string_view value, std::string& error)>;

struct OptionEntry {
    const char* name;
    const char* argument;  // nullptr for a flag
    unsigned modes;
    std::string help;
    Apply apply;
};

template <typename T>
bool ParseNumber(std::string_view text, T low, T high, T& out)
{
    T value{};
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool ParseDouble(std::string_view text, double low, double high, double& out)
{
    std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || !std::isfinite(value) || value < low || value > high)
        return false;
    out = value;
    return true;
}

// "WxH" with each side in [low, high].
bool ParseSize(std::string_view text, int low, int high, int& width, int& height)
{
    const std::size_t x = text.find('x');
    return x != std::string_view::npos && ParseNumber(text.substr(0, x), low, high, width) &&
           ParseNumber(text.substr(x + 1), low, high, height);
}

// The parts between separators, empty ones included; none for "".
std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    if (text.empty())
        return parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

std::optional<std::uint8_t> ParseCodec(std::string_view name)
{
    constexpr std::pair<std::string_view, std::uint8_t> kNames[] = {{"mpeg4", kCodecMpeg4},
                                                                     {"h264", kCodecH264},
                                                                     {"unsupported", kCodecUnsupported},
                                                                     {"unsupported2", kCodecUnsupported2},
                                                                     {"nv12", kCodecNv12}};
    for (const auto& [text, codec] : kNames)
        if (name == text)
            return codec;
    std::uint8_t number = 0;
    if (ParseNumber<std::uint8_t>(name, 0, 255, number))
        return number;
    return std::nullopt;
}

// "WxH[@FPS][:CODEC]". Sizes are even and at least 64 so that every entry
// can be streamed as H.264 or NV12.
bool ParseFormat(std::string_view text, VideoFormat& format, std::string& error)
{
    std::string_view size = text;
    std::string_view codec = "h264";
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        codec = text.substr(colon + 1);
        size = text.substr(0, colon);
    }
    double fps = 30;
    if (const std::size_t at = size.find('@'); at != std::string_view::npos) {
        if (!ParseDouble(size.substr(at + 1), 0.01, 1000, fps)) {
            error = fmt::format("bad frame rate in format \"{}\"", text);
            return false;
        }
        size = size.substr(0, at);
    }
    int width = 0, height = 0;
    if (!ParseSize(size, 64, 4094, width, height) || width % 2 != 0 || height % 2 != 0) {
        error = fmt::format("bad size in format \"{}\": WxH, even, 64 to 4094", text);
        return false;
    }
    const std::optional<std::uint8_t> number = ParseCodec(codec);
    if (!number) {
        error = fmt::format("bad codec in format \"{}\"", text);
        return false;
    }
    format = {static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), static_cast<float>(fps), *number};
    return true;
}

bool ParseFormats(std::string_view text, std::vector<VideoFormat>& formats, std::string& error)
{
    formats.clear();
    for (std::string_view item : Split(text, ',')) {
        VideoFormat format;
        if (!ParseFormat(item, format, error))
            return false;
        formats.push_back(format);
    }
    if (formats.empty() || formats.size() > kMaxFormats) {
        error = fmt::format("--formats takes 1 to {} entries", kMaxFormats);
        return false;
    }
    return true;
}

bool Invalid(std::string& error, std::string_view option, std::string_view value)
{
    error = fmt::format("invalid value for {}: \"{}\"", option, value);
    return false;
}

const std::vector<OptionEntry>& Table()
{
    static const std::vector<OptionEntry> table = {
        {"--duration", "SECONDS", kPhone,
         "stop after this long, whatever happens (default 60)",
         [](Parsed& p, std::string_view v, std::string& e) {
             return ParseDouble(v, 0.001, 1e7, p.options.durationSeconds) || Invalid(e, "--duration", v);
         }},
        {"--frames", "N", kAll,
         "video frames per session, after which the phone closes the connection (default 0: no bound); in bench "
         "mode, frames per size (default 300)",
         [](Parsed& p, std::string_view v, std::string& e) {
             p.framesGiven = true;
             return ParseNumber<std::uint32_t>(v, 0, UINT32_MAX, p.options.phone.framesPerSession) ||
                    Invalid(e, "--frames", v);
         }},
        {"--sessions", "N", kPhone,
         "stop after N sessions have ended (default 1; 0: no limit); connect mode connects again 1 s after a "
         "session ends",
         [](Parsed& p, std::string_view v, std::string& e) {
             return ParseNumber(v, 0, 1000000, p.options.sessions) || Invalid(e, "--sessions", v);
         }},
        {"--log", "FILE", kAll, "append the log to FILE instead of standard error",
         [](Parsed& p, std::string_view v, std::string&) {
             p.options.logPath = v;
             return true;
         }},
        {"--client-type", "N", kPhone, "clientType of the announcement (default 1, a camera client)",
         [](Parsed& p, std::string_view v, std::string& e) {
             p.clientTypeGiven = true;
             return ParseNumber<std::uint32_t>(v, 0, UINT32_MAX, p.options.phone.announcement.clientType) ||
                    Invalid(e, "--client-type", v);
         }},
        {"--formats", "LIST", kPhone,
         "announced formats, comma-separated WxH[@FPS][:CODEC], CODEC one of mpeg4, h264, unsupported, "
         "unsupported2, nv12 or a number (default " +
             std::string(kDefaultFormats) + ")",
         [](Parsed& p, std::string_view v, std::string& e) {
             return ParseFormats(v, p.options.phone.announcement.formats, e);
         }},
        {"--no-format-change", nullptr, kPhone,
         "announce that the phone cannot change formats while streaming; it then ignores further stream requests",
         [](Parsed& p, std::string_view, std::string&) {
             p.options.phone.announcement.formatChange = false;
             return true;
         }},
        {"--option-kinds", "LIST", kPhone,
         "kind bytes of the announced option entries, comma-separated, at most 5 (default 1,2; \"\" for none)",
         [](Parsed& p, std::string_view v, std::string& e) {
             std::vector<std::uint8_t>& kinds = p.options.phone.announcement.optionKinds;
             kinds.clear();
             for (std::string_view item : Split(v, ',')) {
                 std::uint8_t kind = 0;
                 if (!ParseNumber<std::uint8_t>(item, 0, 255, kind))
                     return Invalid(e, "--option-kinds", v);
                 kinds.push_back(kind);
             }
             return kinds.size() <= kMaxOptions || Invalid(e, "--option-kinds", v);
         }},
        {"--video", "FORM", kPhone,
         "h264 (MESSAGE_VIDEODATA), depth (MESSAGE_VIDEODATA_WITH_DEPTH) or nv12 (raw pictures, flag 0x20); "
         "entries with the nv12 codec are always raw (default h264)",
         [](Parsed& p, std::string_view v, std::string& e) {
             if (v == "h264")
                 p.options.phone.video = VideoForm::kH264;
             else if (v == "depth")
                 p.options.phone.video = VideoForm::kDepth;
             else if (v == "nv12")
                 p.options.phone.video = VideoForm::kNv12;
             else
                 return Invalid(e, "--video", v);
             return true;
         }},
        {"--unpaced", nullptr, kPhone,
         "send video frames back to back, as fast as the connection takes them, instead of at the frame rate "
         "(audio keeps its pace); for throughput measurements, with --video nv12 so that encoding does not limit "
         "it and --frames to bound the run",
         [](Parsed& p, std::string_view, std::string&) {
             p.options.phone.unpaced = true;
             return true;
         }},
        {"--depth-size", "WxH", kPhone, "size of the depth map sent with --video depth (default 160x120)",
         [](Parsed& p, std::string_view v, std::string& e) {
             int width = 0, height = 0;
             if (!ParseSize(v, 1, 4095, width, height))
                 return Invalid(e, "--depth-size", v);
             p.options.phone.depthWidth = static_cast<std::uint16_t>(width);
             p.options.phone.depthHeight = static_cast<std::uint16_t>(height);
             return true;
         }},
        {"--upside-down", nullptr, kPhone, "set video flag 0x01: the picture is upside down",
         [](Parsed& p, std::string_view, std::string&) {
             p.options.phone.orientationFlags |= kFlagUpsideDown;
             return true;
         }},
        {"--mirrored", nullptr, kPhone, "set video flag 0x10: the picture is mirrored left to right",
         [](Parsed& p, std::string_view, std::string&) {
             p.options.phone.orientationFlags |= kFlagMirrored;
             return true;
         }},
        {"--tone", "HZ", kPhone, "frequency of the sine tone sent as audio (default 440; 0: no audio)",
         [](Parsed& p, std::string_view v, std::string& e) {
             return ParseDouble(v, 0, 20000, p.options.phone.toneHz) || Invalid(e, "--tone", v);
         }},
        {"--helper-text", "TEXT", kPhone, "send TEXT in a MESSAGE_HELPERTEXT right after the announcement",
         [](Parsed& p, std::string_view v, std::string&) {
             p.options.phone.helperText = std::string(v);
             return true;
         }},
        {"--fault", "NAME", kPhone, "inject a fault (list below; default none)",
         [](Parsed& p, std::string_view v, std::string& e) {
             for (const FaultInfo& fault : AllFaults())
                 if (fault.name == v) {
                     p.options.phone.fault = fault.fault;
                     return true;
                 }
             return Invalid(e, "--fault", v);
         }},
        {"--fault-after", "N", kPhone, "video frames sent before the fault (default 30)",
         [](Parsed& p, std::string_view v, std::string& e) {
             p.faultAfterGiven = true;
             return ParseNumber<std::uint32_t>(v, 0, UINT32_MAX, p.options.phone.faultAfter) ||
                    Invalid(e, "--fault-after", v);
         }},
        {"--fault-size", "SIZE", kPhone, "size in bytes for the faults that have one (defaults below)",
         [](Parsed& p, std::string_view v, std::string& e) {
             p.faultSizeGiven = true;
             return ParseNumber<std::uint64_t>(v, 1, UINT32_MAX, p.options.phone.faultSize) ||
                    Invalid(e, "--fault-size", v);
         }},
        {"--seed", "N", kPhone, "seed for the random bytes of the random-bytes fault (default 1)",
         [](Parsed& p, std::string_view v, std::string& e) {
             return ParseNumber<std::uint32_t>(v, 0, UINT32_MAX, p.options.phone.seed) || Invalid(e, "--seed", v);
         }},
        {"--host", "ADDRESS", kConnect, "the service's address (default 127.0.0.1)",
         [](Parsed& p, std::string_view v, std::string&) {
             p.options.host = v;
             return true;
         }},
        {"--port", "N", kConnect | kListen,
         "connect: the service's port (default 5055); listen: the port to listen on (default 0: any free port, "
         "shown in the log)",
         [](Parsed& p, std::string_view v, std::string& e) {
             p.portGiven = true;
             return ParseNumber<std::uint16_t>(v, 0, 65535, p.options.port) || Invalid(e, "--port", v);
         }},
        {"--dnssd-name", "NAME", kListen, "DNS-SD instance name to register (default mobile)",
         [](Parsed& p, std::string_view v, std::string& e) {
             p.options.dnssdName = v;
             return !v.empty() || Invalid(e, "--dnssd-name", v);
         }},
        {"--no-dnssd", nullptr, kListen, "listen without registering with DNS-SD",
         [](Parsed& p, std::string_view, std::string&) {
             p.options.dnssd = false;
             return true;
         }},
        {"--usbmuxd", "ADDRESS", kUsb,
         "where to act as usbmuxd: host:port or UNIX:/path, as in USBMUXD_SOCKET_ADDRESS (default 127.0.0.1:27015)",
         [](Parsed& p, std::string_view v, std::string& e) {
             std::optional<Endpoint> endpoint = ParseEndpoint(v);
             if (!endpoint)
                 return Invalid(e, "--usbmuxd", v);
             p.options.usbmuxd = *endpoint;
             return true;
         }},
        {"--usb-device", "KIND", kUsb,
         "add a device to the list, in order; KIND is phone (the app listens on port 5055), idle (the app is not "
         "running), no-product-id (product id 0) or zero-handle (handle 0); repeatable (default one phone)",
         [](Parsed& p, std::string_view v, std::string& e) {
             constexpr std::pair<std::string_view, DeviceKind> kKinds[] = {{"phone", DeviceKind::kPhone},
                                                                            {"idle", DeviceKind::kIdle},
                                                                            {"no-product-id", DeviceKind::kNoProductId},
                                                                            {"zero-handle", DeviceKind::kZeroHandle}};
             for (const auto& [name, kind] : kKinds)
                 if (v == name) {
                     p.options.devices.push_back(kind);
                     return true;
                 }
             return Invalid(e, "--usb-device", v);
         }},
        {"--usb-detached", nullptr, kUsb, "start with every device detached (attach them with the attach command)",
         [](Parsed& p, std::string_view, std::string&) {
             p.options.devicesDetached = true;
             return true;
         }},
        {"--flap-ms", "MS", kUsb, "period of the usb-flapping fault (default 1000)",
         [](Parsed& p, std::string_view v, std::string& e) {
             return ParseNumber(v, 10, 3600000, p.options.flapMs) || Invalid(e, "--flap-ms", v);
         }},
        {"--size", "WxH", kBench, "size to encode, repeatable (default 1280x720 and 1920x1080)",
         [](Parsed& p, std::string_view v, std::string& e) {
             int width = 0, height = 0;
             if (!ParseSize(v, 64, 4094, width, height) || width % 2 != 0 || height % 2 != 0)
                 return Invalid(e, "--size", v);
             p.options.benchSizes.emplace_back(width, height);
             return true;
         }},
    };
    return table;
}

// One entry of --help: the name in a column, the text wrapped beside it.
std::string HelpEntry(std::string_view left, std::string_view help)
{
    constexpr std::size_t kIndent = 25, kWidth = 100;
    std::string text = fmt::format("  {:<22} ", left);
    if (text.size() > kIndent)
        text += "\n" + std::string(kIndent, ' ');
    std::size_t column = kIndent;
    for (std::string_view word : Split(help, ' ')) {
        if (column + word.size() > kWidth && column > kIndent) {
            text += "\n" + std::string(kIndent, ' ');
            column = kIndent;
        } else if (column > kIndent) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
    }
    return text + "\n";
}

unsigned ModeBit(Mode mode)
{
    switch (mode) {
    case Mode::kConnect: return kConnect;
    case Mode::kListen: return kListen;
    case Mode::kUsb: return kUsb;
    case Mode::kBench: return kBench;
    }
    return 0;
}

std::optional<Mode> ParseMode(std::string_view name)
{
    if (name == "connect")
        return Mode::kConnect;
    if (name == "listen")
        return Mode::kListen;
    if (name == "usb")
        return Mode::kUsb;
    if (name == "bench")
        return Mode::kBench;
    return std::nullopt;
}

// Settings that depend on the mode or on several options.
bool Complete(Parsed& p, std::string& error)
{
    Options& o = p.options;
    PhoneConfig& phone = o.phone;
    const FaultInfo& fault = DescribeFault(phone.fault);
    if (fault.usbOnly && o.mode != Mode::kUsb) {
        error = fmt::format("--fault {} needs usb mode", fault.name);
        return false;
    }
    if (p.faultAfterGiven && !fault.afterFrames) {
        error = fmt::format("--fault-after needs a fault that waits for frames, not {}", fault.name);
        return false;
    }
    if (p.faultSizeGiven && phone.faultSize > fault.maxSize) {
        error = fault.maxSize == 0 ? fmt::format("--fault-size needs a fault that has a size, not {}", fault.name)
                                   : fmt::format("--fault-size for {} is at most {}", fault.name, fault.maxSize);
        return false;
    }
    if (phone.fault == Fault::kUnknownClient || phone.fault == Fault::kBarcodeClient) {
        if (p.clientTypeGiven) {
            error = fmt::format("--fault {} sets the client type; leave out --client-type", fault.name);
            return false;
        }
        phone.announcement.clientType = phone.fault == Fault::kUnknownClient ? 800 : 1000;
    }
    if (!p.portGiven)
        o.port = o.mode == Mode::kConnect ? 5055 : 0;
    if (o.mode == Mode::kConnect && o.port == 0) {
        error = "connect mode needs a port above 0";
        return false;
    }
    if (o.devices.empty())
        o.devices.push_back(DeviceKind::kPhone);
    if (o.mode == Mode::kBench) {
        if (p.framesGiven)
            o.benchFrames = std::max<std::uint32_t>(1, phone.framesPerSession);
        if (o.benchSizes.empty())
            o.benchSizes = {{1280, 720}, {1920, 1080}};
    }
    return true;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine result;
    for (const std::string& argument : arguments)
        if (argument == "--help" || argument == "-h") {
            result.help = true;
            return result;
        }
    if (arguments.empty()) {
        result.error = "no mode given";
        return result;
    }
    Parsed parsed;
    const std::optional<Mode> mode = ParseMode(arguments[0]);
    if (!mode) {
        result.error = fmt::format("unknown mode \"{}\"", arguments[0]);
        return result;
    }
    parsed.options.mode = *mode;
    parsed.options.usbmuxd = *ParseEndpoint("127.0.0.1:27015");
    parsed.options.phone.announcement.optionKinds = {1, 2};
    std::string ignored;
    ParseFormats(kDefaultFormats, parsed.options.phone.announcement.formats, ignored);

    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::string_view name = arguments[i];
        std::optional<std::string_view> inlineValue;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const OptionEntry* fields = nullptr;
        for (const OptionEntry& candidate : Table())
            if (name == candidate.name)
                fields = &candidate;
        if (fields == nullptr) {
            result.error = fmt::format("unknown option \"{}\"", name);
            return result;
        }
        if ((fields->modes & ModeBit(*mode)) == 0) {
            result.error = fmt::format("{} does not apply to {} mode", name, arguments[0]);
            return result;
        }
        std::string_view value;
        if (fields->argument != nullptr && inlineValue) {
            value = *inlineValue;
        } else if (fields->argument != nullptr) {
            if (i + 1 >= arguments.size()) {
                result.error = fmt::format("{} needs a value", name);
                return result;
            }
            value = arguments[++i];
        } else if (inlineValue) {
            result.error = fmt::format("{} takes no value", name);
            return result;
        }
        if (!fields->apply(parsed, value, result.error))
            return result;
    }
    if (!Complete(parsed, result.error))
        return result;
    result.options = std::move(parsed.options);
    return result;
}

std::string HelpText()
{
    std::string text =
        "Usage: phonesim MODE [OPTIONS]\n"
        "\n"
        "Plays the phone running the camera app, so that TalvikSvc can be tested and shown\n"
        "without a phone. It announces its formats, streams an H.264 test pattern with\n"
        "numbered frames and a sine tone when asked, logs every frame with its send time\n"
        "on the monotonic clock, and can inject faults.\n"
        "\n"
        "Modes:\n"
        "  connect  WiFi, outbound: connect to the service's TCP port\n"
        "  listen   WiFi, discoverable: listen on a TCP port and register the DNS-SD\n"
        "           instance \"mobile\" of \"_vidrelo._tcp.\" so that the service connects out\n"
        "  usb      USB: act as usbmuxd with simulated devices; point the service's USB\n"
        "           library at it with USBMUXD_SOCKET_ADDRESS\n"
        "  bench    encode the test pattern as fast as possible and print the time per frame\n";

    const std::pair<unsigned, const char*> groups[] = {
        {kAll, "Options for every mode"},
        {kPhone, "Phone options (connect, listen, usb)"},
        {kConnect, "connect"},
        {kConnect | kListen, "connect and listen"},
        {kListen, "listen"},
        {kUsb, "usb"},
        {kBench, "bench"},
    };
    for (const auto& [modes, title] : groups) {
        text += fmt::format("\n{}:\n", title);
        for (const OptionEntry& fields : Table()) {
            if (fields.modes != modes)
                continue;
            const std::string left = fields.argument ? fmt::format("{} {}", fields.name, fields.argument) : fields.name;
            text += HelpEntry(left, fields.help);
        }
    }

    text += "\nFaults (--fault NAME; N is --fault-after, SIZE is --fault-size):\n";
    for (const FaultInfo& fault : AllFaults())
        text += HelpEntry(fault.name, fmt::format("{}{}", fault.help, fault.usbOnly ? " (usb mode)" : ""));

    text +=
        "\nCommands on standard input in usb mode, one per line:\n"
        "  attach [N]             attach device N (counted from 0 in --usb-device order), or all\n"
        "  detach [N]             detach device N, or all; its connections are cut\n"
        "\n"
        "Exit codes:\n"
        "  0  stopped at its bound (--frames, --duration) or the phone closed on purpose\n"
        "  1  failure: cannot listen, connect out, register with DNS-SD or encode\n"
        "  2  bad command line\n"
        "  3  the service closed the connection\n"
        "  4  no service connected within --duration\n"
        "  5  the service sent something it never should (the log says what)\n"
        "The code describes the last session when there were several.\n";
    return text;
}

} // namespace talvik::phonesim
