// The whole road of a stream with real processes: TalvikSvc takes the phone
// simulator's stream over WiFi and over USB, decodes it into the file camera, where
// camview reads the pictures and changes the request, and writes the tone
// to the ring-file microphone.
#include "media/pixel_format.h"
#include "tests/service/service_rig_posix.h"
#include "tests/service/tone_check.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pulse_audio_posix.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
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
    // The format text names the link, and the scaling when sizes differ.
    const std::string link = via == Via::kWifi ? "WIFI" : "USB";
    ASSERT_TRUE(rig.WaitFor([&] {
        return rig.Count("CreateFormatBitmap: '" + link + ": 1280x720 NV12 at 30 fps'") == 1;
    })) << "no picture of the stream: " << rig.Log();

    // Each pixel format of the same size: the pattern the right way round
    // (its code is read from the top rows), later frames each time.
    struct Step {
        const char* format;
        talvik::DriverPixelFormat index;
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
    EXPECT_EQ(rig.Count("CreateFormatBitmap: '" + link + ": 1280x720 ARGB32 at 30 fps'"), 1);
    // The text of the new size comes with its first picture, which may still
    // be on its way (over WiFi, from the phone's new stream).
    EXPECT_TRUE(rig.WaitFor([&] {
        return rig.Count("CreateFormatBitmap: '" + link +
                         (bars == 0 ? ": 640x480 NV12 at 30 fps'" : ": 1280x720 scaled to 640x480 NV12 at 30 fps'")) ==
               1;
    })) << rig.Log();
    // Time, not a condition: the new format text covers the code's right end
    // for two seconds, and FrameNumber reads for three.
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
    talvik::test::ExpectTone(std::string_view(ring).substr(64), 440);

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
        TALVIK_SKIP_MISSING() << "phonesim is not built";
    for (Via via : {Via::kWifi, Via::kUsb}) {
        SCOPED_TRACE(via == Via::kWifi ? "WiFi" : "USB");
        StreamAndCheck(via);
    }
}

TEST(streaming, the_phone_tone_reaches_a_pulseaudio_microphone)
{
    talvik::test::PulseAudio pulse;
    if (const std::string skipReason = pulse.Start(); !skipReason.empty())
        TALVIK_SKIP_MISSING() << skipReason;
    const std::string fifo = pulse.dir.File("talvik-mic");
    ASSERT_TRUE(pulse.AddPipeSource(fifo));
    const std::string recording = pulse.dir.File("recording.raw");
    std::unique_ptr<HelperProcess> parec = pulse.Record(recording);
    ASSERT_TRUE(parec);

    talvik::test::ServiceRig rig({"Microphone=fifo", "AudioDevice=" + fifo});
    rig.Start(rig.unusedUsbmuxd());
    std::unique_ptr<HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "20"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    // A second of sound: 44,100 stereo frames of 4 bytes.
    ASSERT_TRUE(rig.WaitFor([&] { return ReadFile(recording).size() >= 4 * 44100; })) << parec->Output();
    parec->Stop();
    talvik::test::ExpectTone(ReadFile(recording), 440);
    phone->Stop();
    EXPECT_EQ(rig.Stop(), 0);
}

// In a shell without XDG_RUNTIME_DIR (root shells, ssh): the files go to a
// private directory in the home, which camview in such a shell finds too.
TEST(streaming, a_person_running_the_service_in_any_shell_is_told_what_happens_once)
{
    talvik::test::ServiceRig rig({"Camera=file"});
    const std::string home = rig.File("home");
    ASSERT_TRUE(std::filesystem::create_directory(home));
    const std::vector<std::string> shell{"XDG_RUNTIME_DIR=", "XDG_CACHE_HOME=", "HOME=" + home};
    rig.Start(rig.unusedUsbmuxd(), shell, true);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Output().find("talvik: microphone: ") != std::string::npos; }))
        << rig.Output();
    const std::string runtime = home + "/.cache/talvik-runtime";
    EXPECT_EQ(std::filesystem::status(runtime).permissions(), std::filesystem::perms::owner_all);
    // The phone is asked for the camera's size once the first status picture
    // is in the camera (a fresh home's font cache makes it slow); before it,
    // the service knows only its default 640 x 480.
    HelperProcess firstPicture(talvik::test::SiblingProgram("camview"),
                               {"--snapshot", rig.File("first.png"), "--timeout", "10"}, shell);
    ASSERT_EQ(firstPicture.Wait(15s), 0) << firstPicture.Output();
    for (int phone = 0; phone < 2; ++phone) {
        std::unique_ptr<HelperProcess> simulator = talvik::test::StartPhonesim(
            {"connect", "--port", std::to_string(rig.port()), "--frames", "30", "--duration", "20"});
        ASSERT_TRUE(simulator->Wait(20s).has_value());
    }
    // Listening again after each phone, which the console need not hear.
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartLookingForConnections") >= 3; })) << rig.Log();

    HelperProcess camview(talvik::test::SiblingProgram("camview"), {"--timeout", "5"}, shell);
    ASSERT_EQ(camview.Wait(10s), 0) << camview.Output();
    EXPECT_NE(camview.Output().find("last picture: 1280x720 NV12"), std::string::npos) << camview.Output();

    std::string output = rig.Output();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    const std::string camera = runtime + "/talvik/camera";
    const std::string wifi = "talvik: WiFi: phones can connect on TCP port " + std::to_string(rig.port()) + "\n";
    const std::string connected = "talvik: a phone connected over WiFi; it is asked for 1280 x 720 at 30 fps\n";
    const std::string left = "talvik: the phone left; the camera shows the status screen\n";
    std::size_t at = 0;
    for (const std::string& line :
         {std::string("talvik: starting (Ctrl+C stops it)\n"),
          "talvik: files: XDG_RUNTIME_DIR is not set; the camera file, the sound ring file and the tray socket are "
          "in " + runtime + "\n",
          "talvik: camera: the camera file " + camera + " (look at it with: camview --file " + camera +
              " --snapshot picture.png)\n",
          wifi, connected, left, connected, left}) {
        at = output.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in order in:\n" << output;
    }
    EXPECT_EQ(output.find(wifi, output.find(wifi) + 1), std::string::npos) << "said once:\n" << output;
}
