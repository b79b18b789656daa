// The simulator's command line: defaults, the format list syntax, and the
// combinations it refuses.
#include "tools/phonesim/options.h"

#include <gtest/gtest.h>

using namespace talvik::phonesim;

namespace {

CommandLine Parse(std::vector<std::string> arguments)
{
    return ParseCommandLine(arguments);
}

} // namespace

TEST(options, defaults_announce_a_realistic_phone)
{
    const CommandLine connect = Parse({"connect"});
    ASSERT_TRUE(connect.options) << connect.error;
    const Options& options = *connect.options;
    EXPECT_EQ(options.port, 5055);
    EXPECT_EQ(options.host, "127.0.0.1");
    EXPECT_EQ(options.phone.announcement.clientType, 1u);
    EXPECT_TRUE(options.phone.announcement.formatChange);
    EXPECT_EQ(options.phone.announcement.optionKinds, (std::vector<std::uint8_t>{1, 2}));
    const std::vector<VideoFormat>& formats = options.phone.announcement.formats;
    ASSERT_EQ(formats.size(), 5u);
    EXPECT_EQ(formats.front().width, 640);
    EXPECT_EQ(formats[3].width, 1920);
    EXPECT_EQ(formats[3].height, 1080);
    EXPECT_EQ(std::count_if(formats.begin(), formats.end(), [](const VideoFormat& f) { return f.codec != kCodecH264; }),
              1);

    EXPECT_EQ(Parse({"listen"}).options->port, 0) << "any free port";
    const CommandLine usb = Parse({"usb"});
    EXPECT_EQ(usb.options->usbmuxd.ToString(), "127.0.0.1:27015");
    EXPECT_EQ(usb.options->devices, std::vector<DeviceKind>{DeviceKind::kPhone});
    const CommandLine bench = Parse({"bench"});
    EXPECT_EQ(bench.options->benchFrames, 300u);
    EXPECT_EQ(bench.options->benchSizes.size(), 2u);
}

TEST(options, formats_take_size_rate_and_codec)
{
    const CommandLine parsed = Parse({"connect", "--formats", "1072x800@29.97:nv12,640x480,320x240@15:7"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const std::vector<VideoFormat>& formats = parsed.options->phone.announcement.formats;
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[0].width, 1072);
    EXPECT_EQ(formats[0].height, 800);
    EXPECT_FLOAT_EQ(formats[0].fps, 29.97f);
    EXPECT_EQ(formats[0].codec, kCodecNv12);
    EXPECT_EQ(formats[1].codec, kCodecH264);
    EXPECT_FLOAT_EQ(formats[1].fps, 30.0f);
    EXPECT_EQ(formats[2].codec, 7);

    for (const char* bad : {"641x480", "4096x480", "640", "640x480@0", "640x480:vp8", "640x480,"})
        EXPECT_FALSE(Parse({"connect", "--formats", bad}).options) << bad;
    std::string tooMany = "640x480";
    for (int i = 0; i < 35; ++i)
        tooMany += ",640x480";
    EXPECT_FALSE(Parse({"connect", "--formats", tooMany}).options) << "36 entries";
}

TEST(options, client_faults_set_the_client_type)
{
    EXPECT_EQ(Parse({"connect", "--fault", "unknown-client"}).options->phone.announcement.clientType, 800u);
    EXPECT_EQ(Parse({"connect", "--fault=barcode-client"}).options->phone.announcement.clientType, 1000u);
    EXPECT_FALSE(Parse({"connect", "--fault", "barcode-client", "--client-type", "3"}).options);
}

TEST(options, refuses_options_outside_their_mode_and_bad_values)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"stream"},
        {"connect", "--usb-device", "phone"},
        {"usb", "--port", "5055"},
        {"bench", "--duration", "5"},
        {"connect", "--fault", "usb-empty-frame"},
        {"connect", "--fault-size", "10"},
        {"connect", "--fault", "silence", "--fault-size", "10"},
        {"connect", "--fault", "random-bytes", "--fault-size", "100000000"},
        {"connect", "--fault", "random-bytes", "--fault-after", "3"},
        {"connect", "--fault", "melt"},
        {"connect", "--port", "0"},
        {"connect", "--duration"},
        {"connect", "--duration", "-1"},
        {"connect", "--no-dnssd"},
        {"listen", "--no-dnssd=yes"},
        {"connect", "--option-kinds", "1,2,3,4,5,6"},
        {"usb", "--usbmuxd", "localhost"},
        {"usb", "--usb-device", "tablet"},
    };
    for (const std::vector<std::string>& arguments : bad) {
        const CommandLine parsed = Parse(arguments);
        EXPECT_FALSE(parsed.options) << testing::PrintToString(arguments);
        EXPECT_FALSE(parsed.error.empty()) << testing::PrintToString(arguments);
    }
    EXPECT_TRUE(Parse({"usb", "--fault", "usb-flapping", "--usbmuxd", "UNIX:/tmp/x.sock"}).options);
    EXPECT_TRUE(Parse({"connect", "--option-kinds", ""}).options->phone.announcement.optionKinds.empty());
}

TEST(options, unpaced_applies_to_the_phone_modes_only)
{
    EXPECT_FALSE(Parse({"connect"}).options->phone.unpaced);
    for (const char* mode : {"connect", "listen", "usb"})
        EXPECT_TRUE(Parse({mode, "--unpaced"}).options->phone.unpaced) << mode;
    EXPECT_FALSE(Parse({"bench", "--unpaced"}).options);
    EXPECT_FALSE(Parse({"connect", "--unpaced=yes"}).options);
}

TEST(options, help_documents_every_mode_fault_and_exit_code)
{
    EXPECT_TRUE(Parse({"usb", "--help"}).help);
    const std::string help = HelpText();
    for (const char* text : {"connect", "listen", "usb", "bench", "attach [N]", "detach [N]", "Exit codes"})
        EXPECT_NE(help.find(text), std::string::npos) << text;
    for (const FaultInfo& fault : AllFaults())
        EXPECT_NE(help.find(fault.name), std::string::npos) << fault.name;
}
