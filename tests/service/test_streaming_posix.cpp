// The whole road of a stream with real processes: TalvikSvc takes the phone
// simulator's stream over WiFi and over USB, decodes it into the file camera, where
// camview reads the pictures and changes the request, and writes the tone
// to the ring-file microphone.
#include "media/pixel_format.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pulse_audio_posix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;
using talvik::test::HelperProcess;
using talvik::test::ReadFile;
using talvik::test::TempDir;

namespace {

bool Sent(const std::vector<talvik::test::SentFrame>& frames, std::uint32_t number, int width)
{
    return std::ranges::any_of(frames, [&](const auto& f) { return f.number == number && f.width == width; });
}

// 16-bit stereo samples of the simulator's tone: loud for more than a
// quarter of a second, both channels alike.
void ExpectTone(std::string_view samples)
{
    int loud = 0;
    for (std::size_t at = 0; at + 4 <= samples.size(); at += 4) {
        std::int16_t left = 0;
        std::int16_t right = 0;
        std::memcpy(&left, samples.data() + at, 2);
        std::memcpy(&right, samples.data() + at + 2, 2);
        ASSERT_EQ(left, right) << "at " << at;
        loud += std::abs(left) > 1000;
    }
    EXPECT_GT(loud, 10000);
}

enum class Via { kWifi, kUsb };

// Over USB the phone offers only 16:9 sizes, so that a 4:3 request is
// letterboxed rather than asked of the phone.
void StreamAndCheck(Via via)
{
    TempDir usbmuxdDir;
    const std::string usbmuxd = "UNIX:" + usbmuxdDir.File("usbmuxd.sock");
    const std::string name = via == Via::kWifi ? "wifi" : "usb";
    std::unique_ptr<HelperProcess> phone;
    if (via == Via::kUsb) {
        // The simulator first, its phone unplugged: the USB library looks
        // for usbmuxd as the service starts.
        phone = talvik::test::StartPhonesim({"usb", "--usbmuxd", usbmuxd, "--usb-detached", "--duration", "40",
                                             "--formats", "1280x720@30:h264,1920x1080@30:h264"});
        ASSERT_TRUE(phone->WaitForOutput("usbmuxd: listening on", 10s)) << phone->Output();
    }
    talvik::test::ServiceRig rig;
    rig.Start(usbmuxd);
    const talvik::test::CameraProbe camera = rig.cameraProbe();
    // The status screen shows the camera file's own 1280 x 720 NV12 first,
    // which is then the size asked of the phone.
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("CreateFormatBitmap: '1280x720 NV12 at 30 fps'") == 1; }))
        << rig.Log();
    if (via == Via::kWifi)
        phone = talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "40"});
    else
        phone->Write("attach\n");
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    EXPECT_EQ(rig.Count("StartStreaming: 640 x 480 at 30 fps"), 0);
    std::this_thread::sleep_for(500ms); // pictures of the new stream

    // Each pixel format of the same size: the pattern the right way round
    // (its code is read from the top rows), later frames each time.
    struct Step {
        const char* format;
        std::int32_t index;
    };
    std::vector<std::uint32_t> numbers;
    for (const Step& step : {Step{"NV12", talvik::kPixelNv12}, Step{"YUY2", talvik::kPixelYuy2},
                             Step{"ARGB32", talvik::kPixelArgb32}}) {
        SCOPED_TRACE(step.format);
        ASSERT_EQ(camera.Camview({"--request", "1280x720", step.format}), 0);
        const std::optional<std::uint32_t> number = camera.FrameNumber(1280, 720, step.index);
        ASSERT_TRUE(number);
        EXPECT_TRUE(numbers.empty() || *number > numbers.back()) << *number;
        numbers.push_back(*number);
        camera.Snapshot("stream-" + name + "-1280x720-" + step.format);
    }

    // A 4:3 request: over WiFi the service asks the phone for it; over USB
    // the 16:9 stream is letterboxed with 60-row bars.
    ASSERT_EQ(camera.Camview({"--request", "640x480", "NV12"}), 0);
    std::uint32_t bars = 0;
    if (via == Via::kWifi) {
        ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 640 x 480 at 30 fps") == 1; })) << rig.Log();
        EXPECT_EQ(rig.Count("Video resolution changed, reconnecting to change client resolution from 1280 x 720 to "
                            "640 x 480"),
                  1);
    } else {
        ASSERT_TRUE(rig.WaitFor([&] {
            return rig.Count("Video resolution changed but we are already streaming best possible format") == 1;
        })) << rig.Log();
        EXPECT_EQ(rig.Count("output image will have black bars of 60 pixels on top and bottom"), 1);
        bars = 60;
    }
    // The format text names the link, and the scaling when sizes differ.
    const std::string link = via == Via::kWifi ? "WIFI" : "USB";
    EXPECT_EQ(rig.Count("CreateFormatBitmap: '" + link + ": 1280x720 ARGB32 at 30 fps'"), 1);
    EXPECT_EQ(rig.Count("CreateFormatBitmap: '" + link +
                        (bars == 0 ? ": 640x480 NV12 at 30 fps'" : ": 1280x720 scaled to 640x480 NV12 at 30 fps'")),
              1);
    std::this_thread::sleep_for(500ms);
    const std::optional<std::uint32_t> last = camera.FrameNumber(640, 480, talvik::kPixelNv12, bars);
    ASSERT_TRUE(last);
    std::vector<std::uint8_t> picture = camera.Grab(460800);
    // The bottom bar is black (the format text may cover the top one).
    EXPECT_TRUE(std::all_of(picture.end() - 460800 / 3 + 640 * (480 - bars), picture.end() - 460800 / 3,
                            [](std::uint8_t y) { return y <= 16; }));
    camera.Snapshot("stream-" + name + "-640x480-NV12");
    // The ring-file microphone: its 64-byte header counts the bytes written.
    const std::string ring = ReadFile(rig.ring());
    ASSERT_EQ(ring.size(), 64u + 262144u);
    std::uint64_t written = 0;
    std::memcpy(&written, ring.data() + 24, 8);
    EXPECT_GT(written, 44100u);
    ExpectTone(std::string_view(ring).substr(64));

    // Once the phone is gone the status screen is back: pictures without a
    // frame number.
    phone->Stop();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("ConnectionDisconnected") == 1; })) << rig.Log();
    picture = camera.Grab(460800);
    ASSERT_EQ(picture.size(), 460800u);
    EXPECT_FALSE(talvik::test::ReadFrameNumber(picture, 640, 480, talvik::kPixelNv12));

    const std::vector<talvik::test::SentFrame> sent = talvik::test::SentFrames(phone->Output());
    for (std::uint32_t number : numbers)
        EXPECT_TRUE(Sent(sent, number, 1280)) << number;
    EXPECT_TRUE(Sent(sent, *last, bars == 0 ? 640 : 1280)) << *last;
    EXPECT_EQ(rig.Stop(), 0);
    const std::string log = rig.Log();
    EXPECT_NE(log.find("] VideoDecoder initialized\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] AudioDriver loaded\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("] VidreloEngine deleted\n")) << log;
}

} // namespace

TEST(streaming, the_phone_pictures_and_tone_reach_the_file_camera_and_microphone)
{
    if (!talvik::test::FileExists(talvik::test::SiblingProgram("phonesim")))
        GTEST_SKIP() << "phonesim is not built";
    for (Via via : {Via::kWifi, Via::kUsb}) {
        SCOPED_TRACE(via == Via::kWifi ? "WiFi" : "USB");
        StreamAndCheck(via);
    }
}

TEST(streaming, the_phone_tone_reaches_a_pulseaudio_microphone)
{
    talvik::test::PulseAudio pulse;
    if (const std::string skipReason = pulse.Start(); !skipReason.empty())
        GTEST_SKIP() << skipReason;
    const std::string fifo = pulse.dir.File("talvik-mic");
    ASSERT_TRUE(pulse.AddPipeSource(fifo));
    const std::string recording = pulse.dir.File("recording.raw");
    std::unique_ptr<HelperProcess> parec = pulse.Record(recording);
    ASSERT_TRUE(parec);

    talvik::test::ServiceRig rig({"AudioDevice=" + fifo});
    rig.Start(rig.unusedUsbmuxd());
    std::unique_ptr<HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "20"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    // A second of sound: 44,100 stereo frames of 4 bytes.
    ASSERT_TRUE(rig.WaitFor([&] { return ReadFile(recording).size() >= 4 * 44100; })) << parec->Output();
    parec->Stop();
    ExpectTone(ReadFile(recording));
    phone->Stop();
    EXPECT_EQ(rig.Stop(), 0);
}

TEST(streaming, a_person_running_the_service_in_a_terminal_is_told_what_happens)
{
    talvik::test::ServiceRig rig;
    rig.Start(rig.unusedUsbmuxd(), {}, true);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Output().find("talvik: microphone: ") != std::string::npos; }))
        << rig.Output();
    std::unique_ptr<HelperProcess> phone = talvik::test::StartPhonesim(
        {"connect", "--port", std::to_string(rig.port()), "--frames", "30", "--duration", "20"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Output().find("the phone left") != std::string::npos; })) << rig.Output();
    std::string output = rig.Output();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    const std::string camera = "talvik: camera: the camera file " + rig.camera() + " (look at it with: camview --file " +
                               rig.camera() + " --snapshot picture.png)\n";
    std::size_t at = 0;
    for (const std::string& line :
         {std::string("talvik: starting (Ctrl+C stops it)\n"), camera,
          "talvik: WiFi: phones can connect on TCP port " + std::to_string(rig.port()) + "\n",
          std::string("talvik: a phone connected over WiFi; it is asked for 1280 x 720 at 30 fps\n"),
          std::string("talvik: the phone left; the camera shows the status screen\n")}) {
        at = output.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in order in:\n" << output;
    }
}
