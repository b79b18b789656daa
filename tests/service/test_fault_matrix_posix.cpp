// The fault matrix: TalvikSvc with real processes under one fault per row.
// Each row starts a phone (the phone simulator, streaming unless its fault
// comes with its announcement), applies the fault, and checks that the
// service keeps running, writes the row's line, shows the status screen
// again once the phone is gone, and streams the next phone. Rows that share
// a service run against one, in table order; rows whose fault is in the
// service's surroundings (its codec libraries, its DNS-SD library) get a
// service of their own, started with the fault in place.
#include "media/pixel_format.h"
#include "tests/service/camera_probe_posix.h"
#include "tests/service/service_rig_posix.h"
#include "tests/service/tone_check.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pipewire_posix.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <map>
#include <thread>

using namespace std::chrono_literals;
using talvik::test::HelperProcess;
using talvik::test::ReadFile;

namespace {

// Which service a row runs against.
enum class Service {
    kFileCamera,       // WiFi, the file camera
    kUsb,              // the phone over usbmuxd (the simulator plays it)
    kPipeWire,         // a private PipeWire: its camera and microphone
    kOlderCodecs,      // the install directory's codec libraries of the wrong major
    kIncompleteCodecs, // ... lacking an entry point (sws_scale)
    kNoCodecs,         // no codec library loads
    kNoDnsSd,          // no DNS-SD library loads
};

// What the test does to the service's surroundings once the phone streams
// (kSilentTray: before the phone comes).
enum class Fault {
    kPhone,             // only the phone's own --fault
    kSilentTray,        // the tray's socket accepts and never answers
    kResizingConsumer,  // the camera's consumer asks for another size every second for 20 s
    kCameraFileCut,     // the camera file cut shorter than a picture under the service
    kCameraFileDeleted, // the camera file deleted under the service
    kPipeWireRestart,   // the PipeWire daemon killed and started again
    kRecorderKilled,    // the microphone's recorder killed
};

// Whether the phone streams before the fault, and what it does after it.
enum class Begin { kStreaming, kAnnounced };
enum class After { kPhoneGone, kPictures, kNoPictures };

struct Row {
    const char* name;
    Service service;
    std::vector<std::string> phone; // the simulator's options after its mode's own
    Fault fault;
    Begin begin;
    const char* line; // exactly as the service logs it
    After after;
};

const Row kRows[] = {
    {"bad_magic", Service::kFileCamera, {"--fault", "bad-magic"}, Fault::kPhone, Begin::kStreaming,
     "Invalid data received", After::kPhoneGone},
    {"oversized_payload", Service::kFileCamera, {"--fault", "oversized-payload"}, Fault::kPhone, Begin::kStreaming,
     "Invalid data received", After::kPhoneGone},
    {"truncated", Service::kFileCamera, {"--fault", "truncated"}, Fault::kPhone, Begin::kStreaming,
     "ConnectionManager state change: WIFI CONNECTED -> IDLE", After::kPhoneGone},
    {"silence", Service::kFileCamera, {"--fault", "silence"}, Fault::kPhone, Begin::kStreaming, "Socket read timeout",
     After::kPhoneGone},
    {"unknown_client", Service::kFileCamera, {"--fault", "unknown-client"}, Fault::kPhone, Begin::kAnnounced,
     "Unknown client connected (800)", After::kNoPictures},
    {"barcode_client", Service::kFileCamera, {"--fault", "barcode-client"}, Fault::kPhone, Begin::kAnnounced,
     "ConnectionManager state change: WIFI CONNECTING -> WIFI CONNECTED", After::kNoPictures},
    {"byte_at_a_time", Service::kFileCamera, {"--fault", "byte-at-a-time"},
     Fault::kPhone, Begin::kStreaming, "StartStreaming: 1280 x 720 at 30 fps", After::kPictures},
    {"random_bytes", Service::kFileCamera, {"--fault", "random-bytes"}, Fault::kPhone, Begin::kAnnounced,
     "Invalid data received", After::kPhoneGone},
    {"second_announcement", Service::kFileCamera, {"--fault", "second-announcement"}, Fault::kPhone,
     Begin::kStreaming, "StartStreaming: 1280 x 720 at 30 fps", After::kPictures},
    {"long_helper_text", Service::kFileCamera, {"--fault", "long-helper-text"}, Fault::kPhone, Begin::kStreaming,
     "Helper program text of 300 bytes does not fit the command line", After::kPictures},
    {"tray_never_answers", Service::kFileCamera, {}, Fault::kSilentTray, Begin::kStreaming,
     "Tray did not answer notification 5 within 2000 ms", After::kPictures},
    {"consumer_changes_size_every_second", Service::kFileCamera, {}, Fault::kResizingConsumer, Begin::kStreaming,
     "Video resolution changed, reconnecting to change client resolution from 640 x 480 to 1280 x 720",
     After::kPictures},
    {"camera_file_cut", Service::kFileCamera, {}, Fault::kCameraFileCut, Begin::kStreaming,
     "Camera file {camera} asks for pictures of 1382400 bytes but holds 1000", After::kPictures},
    {"camera_file_deleted", Service::kFileCamera, {}, Fault::kCameraFileDeleted, Begin::kStreaming,
     "Camera file {camera} was deleted: made anew", After::kPictures},
    {"usb_oversized_frame", Service::kUsb, {"--fault", "usb-oversized-frame"}, Fault::kPhone, Begin::kStreaming,
     "USB: Too large packet (4194305 bytes), disconnecting", After::kPhoneGone},
    {"usb_empty_frame", Service::kUsb, {"--fault", "usb-empty-frame"}, Fault::kPhone, Begin::kStreaming,
     "StartStreaming: 1280 x 720 at 30 fps", After::kPictures},
    {"usbmuxd_attaches_and_detaches_ten_times_a_second", Service::kUsb,
     {"--fault", "usb-flapping", "--flap-ms", "100"}, Fault::kPhone, Begin::kStreaming,
     "Error reading USB", After::kPhoneGone},
    {"pipewire_daemon_restarted", Service::kPipeWire, {}, Fault::kPipeWireRestart, Begin::kStreaming,
     "PipeWire camera: the daemon went away; trying again every second", After::kPictures},
    {"microphone_recorder_killed", Service::kPipeWire, {}, Fault::kRecorderKilled, Begin::kStreaming,
     "PipeWire microphone: the last recorder left", After::kPictures},
    {"codec_libraries_of_the_wrong_major", Service::kOlderCodecs, {}, Fault::kPhone, Begin::kStreaming,
     "VideoDecoder has no codec libraries", After::kNoPictures},
    {"codec_library_without_an_entry_point", Service::kIncompleteCodecs, {}, Fault::kPhone, Begin::kStreaming,
     "VideoDecoder has no codec libraries", After::kNoPictures},
    {"codec_libraries_missing", Service::kNoCodecs, {}, Fault::kPhone, Begin::kStreaming,
     "VideoDecoder has no codec libraries", After::kNoPictures},
    {"dns_sd_library_missing", Service::kNoDnsSd, {}, Fault::kPhone, Begin::kStreaming, "Bonjour not available",
     After::kPictures},
};

// The codec and DNS-SD libraries' file names, as Debian 12's FFmpeg and
// avahi name them.
const char* const kCodecFiles[] = {"libavutil.so.57", "libavcodec.so.59", "libswresample.so.4", "libswscale.so.6"};

constexpr const char* kIdle = "StartLookingForConnections";

// How many lines of `log` begin with `start` after their time stamp.
int CountStarting(const std::string& log, const std::string& start)
{
    int count = 0;
    const std::string needle = "] " + start;
    for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++count;
    return count;
}

// A tray that takes the connection (the kernel does, into the backlog) and
// never answers.
class SilentTray {
public:
    explicit SilentTray(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        std::filesystem::remove(path);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
    }
    ~SilentTray()
    {
        close(fd_);
        std::filesystem::remove(path_);
    }

private:
    std::string path_;
    int fd_ = -1;
};

// One service and what its rows share.
class Bench {
public:
    Bench(Service service, talvik::test::PipeWire* pipewire) : service_(service), pipewire_(pipewire)
    {
        std::vector<std::string> settings;
        std::vector<std::string> environment;
        if (service == Service::kPipeWire) {
            settings.push_back("Camera=pipewire");
            environment.push_back("PIPEWIRE_RUNTIME_DIR=" + pipewire->dir.path());
        }
        rig_ = std::make_unique<talvik::test::ServiceRig>(settings);
        const std::string install = rig_->File("install");
        if (service == Service::kOlderCodecs || service == Service::kIncompleteCodecs)
            for (const char* file : kCodecFiles)
                std::filesystem::copy_file(service == Service::kOlderCodecs ? FAKE_CODEC_OLDER_PATH
                                                                            : FAKE_CODEC_INCOMPLETE_PATH,
                                           install + "/" + file);
        // Files that no loader takes, found first: the libraries are as
        // good as missing, from the install directory and the system alike.
        if (service == Service::kNoCodecs)
            for (const char* file : kCodecFiles)
                talvik::test::WriteFile(install + "/" + file, "");
        if (service == Service::kNoDnsSd)
            talvik::test::WriteFile(install + "/libdns_sd.so.1", "");
        if (service == Service::kNoCodecs || service == Service::kNoDnsSd)
            environment.push_back("LD_LIBRARY_PATH=" + install);
        usbmuxd_ = "UNIX:" + rig_->File("usbmuxd.sock");
        // In a terminal where a person reads what the camera does.
        rig_->Start(service == Service::kUsb ? usbmuxd_ : rig_->unusedUsbmuxd(), environment,
                    service == Service::kPipeWire);
        EXPECT_TRUE(rig_->WaitFor([&] { return rig_->Count(kIdle) >= 1; })) << rig_->Log();
    }

    talvik::test::ServiceRig& rig() { return *rig_; }

    std::unique_ptr<HelperProcess> StartPhone(const std::vector<std::string>& options) const
    {
        std::vector<std::string> arguments;
        if (service_ == Service::kUsb)
            arguments = {"usb", "--usbmuxd", usbmuxd_, "--duration", "30"};
        else
            arguments = {"connect", "--port", std::to_string(rig_->port()), "--duration", "30"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return talvik::test::StartPhonesim(arguments);
    }

    // The simulator's frame number in what the camera shows, if one comes
    // within 5 s.
    std::optional<std::uint32_t> FrameNumber() const
    {
        std::optional<std::uint32_t> number;
        talvik::test::WaitUntil([&] { return (number = Read(Picture())).has_value(); }, 5s);
        return number;
    }

    // Whether the camera shows the status screen within 5 s: a picture
    // without the simulator's frame number.
    bool ShowsStatusScreen() const
    {
        return talvik::test::WaitUntil(
            [&] {
                const std::vector<std::uint8_t> picture = Picture();
                return !picture.empty() && !Read(picture);
            },
            5s);
    }

private:
    // The latest picture a consumer gets: from the camera file at its
    // 1280 x 720 NV12, or from pipewiresrc asking for 640 x 480 YUY2; empty
    // when none comes.
    std::vector<std::uint8_t> Picture() const
    {
        if (service_ != Service::kPipeWire)
            return rig_->cameraProbe().Grab(talvik::FrameBytes(talvik::kPixelNv12, 1280, 720));
        const std::string file = pipewire_->dir.File("pictures.raw");
        std::filesystem::remove(file);
        pipewire_->Run("gst-launch-1.0",
                       {"-q", "pipewiresrc", "target-object=talvik-camera", "num-buffers=3", "!",
                        "video/x-raw,format=YUY2,width=640,height=480", "!", "filesink", "location=" + file},
                       15);
        const std::string bytes = ReadFile(file);
        const std::size_t size = talvik::FrameBytes(talvik::kPixelYuy2, 640, 480);
        if (bytes.size() < size)
            return {};
        return {bytes.end() - static_cast<std::ptrdiff_t>(size), bytes.end()};
    }

    std::optional<std::uint32_t> Read(const std::vector<std::uint8_t>& picture) const
    {
        return service_ == Service::kPipeWire ? talvik::test::ReadFrameNumber(picture, 640, 480, talvik::kPixelYuy2)
                                              : talvik::test::ReadFrameNumber(picture, 1280, 720, talvik::kPixelNv12);
    }

    Service service_;
    talvik::test::PipeWire* pipewire_;
    std::unique_ptr<talvik::test::ServiceRig> rig_;
    std::string usbmuxd_;
};

// Applies the test's part of `row`'s fault while the phone streams; what it
// started lives in `held` until the row ends.
void ApplyFault(const Row& row, const std::string& line, Bench& bench, talvik::test::PipeWire* pipewire,
                std::vector<std::unique_ptr<HelperProcess>>& held)
{
    talvik::test::ServiceRig& rig = bench.rig();
    switch (row.fault) {
    case Fault::kPhone:
    case Fault::kSilentTray:
        break;
    case Fault::kResizingConsumer:
        for (int second = 0; second < 20; ++second) {
            const auto next = std::chrono::steady_clock::now() + 1s;
            ASSERT_EQ(rig.cameraProbe().Camview({"--request", second % 2 == 0 ? "640x480" : "1280x720",
                                                 second % 3 == 0 ? "YUY2" : "NV12"}),
                      0);
            std::this_thread::sleep_until(next);
        }
        ASSERT_EQ(rig.cameraProbe().Camview({"--request", "1280x720", "NV12"}), 0);
        break;
    case Fault::kCameraFileCut:
        // The header and a little of a picture: the service refuses to fill
        // what the file cannot hold until a consumer asks again, which
        // makes room.
        std::filesystem::resize_file(rig.camera(), 4096 + 1000);
        EXPECT_TRUE(rig.WaitFor([&] { return rig.Count(line) == 1; })) << rig.Log();
        ASSERT_EQ(rig.cameraProbe().Camview({"--request", "1280x720", "NV12"}), 0);
        break;
    case Fault::kCameraFileDeleted:
        std::filesystem::remove(rig.camera());
        break;
    case Fault::kPipeWireRestart: {
        ASSERT_EQ(pipewire->KillAndRestart(), "");
        // Each loss is followed by the node published again.
        const std::pair<std::string, std::string> nodes[] = {
            {"PipeWire camera: published as \"Vidrelo Camera\" (talvik-camera)",
             "PipeWire camera: the daemon went away; trying again every second"},
            {"PipeWire microphone: published as \"Vidrelo Microphone\" (talvik-microphone)",
             "PipeWire microphone: the daemon went away; trying again every second"}};
        for (const auto& [published, away] : nodes)
            EXPECT_TRUE(rig.WaitFor([&] {
                const int times = rig.Count(published);
                return times >= 2 && times == rig.Count(away) + 1;
            })) << published << "\n" << rig.Log();
        const std::string console = rig.Output();
        const std::size_t away = console.find("talvik: camera: the PipeWire daemon went away; trying again every second");
        EXPECT_NE(away, std::string::npos) << console;
        EXPECT_NE(console.find("talvik: camera: the PipeWire video source \"Vidrelo Camera\"", away), std::string::npos)
            << console;
        break;
    }
    case Fault::kRecorderKilled: {
        const std::string wav = pipewire->dir.File("killed.wav");
        auto recorder = std::make_unique<HelperProcess>(
            talvik::test::FindProgram("pw-record"),
            std::vector<std::string>{"--target", "talvik-microphone", wav}, pipewire->ClientEnvironment());
        ASSERT_TRUE(talvik::test::WaitUntil([&] { return ReadFile(wav).size() > 44100; }, 10s));
        kill(recorder->pid(), SIGKILL);
        recorder->Stop();
        // The next recorder hears the phone's tone.
        const std::string raw = pipewire->dir.File("next.raw");
        held.push_back(std::make_unique<HelperProcess>(
            talvik::test::FindProgram("parec"),
            std::vector<std::string>{"--device=talvik-microphone", "--format=s16le", "--rate=44100", "--channels=2",
                                     raw},
            pipewire->ClientEnvironment()));
        ASSERT_TRUE(talvik::test::WaitUntil([&] { return ReadFile(raw).size() >= 8 * 44100; }, 10s));
        const std::string tone = ReadFile(raw);
        talvik::test::ExpectTone(std::string_view(tone).substr(0, tone.size() / 4 * 4), 440);
        break;
    }
    }
}

// `fresh`: the service was started for this row, with its fault in place,
// and may have logged the row's line as it started.
void RunRow(const Row& row, Bench& bench, talvik::test::PipeWire* pipewire, bool fresh)
{
    talvik::test::ServiceRig& rig = bench.rig();
    std::string line = row.line;
    if (const std::size_t at = line.find("{camera}"); at != std::string::npos)
        line.replace(at, 8, rig.camera());
    const std::string log = rig.Log();
    const int lines = fresh ? 0 : rig.Count(line);
    const int streams = CountStarting(log, "StartStreaming: ");
    // The phone is gone once the service looks for phones again.
    const int idle = rig.Count(kIdle);

    std::optional<SilentTray> tray;
    if (row.fault == Fault::kSilentTray)
        tray.emplace(rig.trayEndpoint());
    std::unique_ptr<HelperProcess> phone = bench.StartPhone(row.phone);
    if (row.begin == Begin::kStreaming) {
        ASSERT_TRUE(rig.WaitFor([&] { return CountStarting(rig.Log(), "StartStreaming: ") > streams; }))
            << rig.Log() << phone->Output();
    }
    std::vector<std::unique_ptr<HelperProcess>> held;
    ApplyFault(row, line, bench, pipewire, held);
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Count(line) > lines; })) << line << "\n" << rig.Log();

    switch (row.after) {
    case After::kPhoneGone:
        EXPECT_TRUE(rig.WaitFor([&] { return rig.Count(kIdle) > idle; })) << rig.Log();
        break;
    case After::kPictures:
        EXPECT_TRUE(bench.FrameNumber()) << rig.Log();
        break;
    case After::kNoPictures:
        break;
    }
    phone->Stop();
    held.clear();
    tray.reset();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count(kIdle) > idle; })) << rig.Log();
    EXPECT_TRUE(bench.ShowsStatusScreen());

    // The next phone (over WiFi, whatever the row's link) streams, and goes
    // after 30 frames.
    const int before = CountStarting(rig.Log(), "StartStreaming: ");
    const int gone = rig.Count(kIdle);
    std::unique_ptr<HelperProcess> next = talvik::test::StartPhonesim(
        {"connect", "--port", std::to_string(rig.port()), "--duration", "20", "--frames", "30"});
    EXPECT_TRUE(rig.WaitFor([&] {
        return CountStarting(rig.Log(), "StartStreaming: ") > before && rig.Count(kIdle) > gone;
    })) << rig.Log() << next->Output();
}

} // namespace

TEST(fault_matrix, the_service_survives_every_fault_and_takes_the_next_phone)
{
    talvik::test::PipeWire pipewire;
    if (const std::string skipReason = pipewire.Start(); !skipReason.empty())
        TALVIK_SKIP_MISSING() << skipReason;
    const char* only = std::getenv("TALVIK_FAULT_ROW"); // one row, when a person looks into it
    std::map<Service, std::unique_ptr<Bench>> benches;
    for (const Row& row : kRows) {
        if (only != nullptr && row.name != std::string(only))
            continue;
        SCOPED_TRACE(row.name);
        const auto started = std::chrono::steady_clock::now();
        std::unique_ptr<Bench>& bench = benches[row.service];
        const bool fresh = !bench;
        if (fresh)
            bench = std::make_unique<Bench>(row.service, &pipewire);
        RunRow(row, *bench, &pipewire, fresh);
        EXPECT_TRUE(bench->rig().Running()) << bench->rig().Log();
        std::printf("row %s: %.1f s\n", row.name,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    for (auto& [service, bench] : benches) {
        EXPECT_EQ(bench->rig().Stop(), 0);
        EXPECT_TRUE(bench->rig().Log().ends_with("] VidreloEngine deleted\n")) << bench->rig().Log();
    }
}
