// The engine's reactions to the phone session, against a fake session and a
// recording desktop, read through the log lines an operator sees; pictures
// reach a camera file in the test's directory.
#include "base/config.h"
#include "engine/depth_records.h"
#include "engine/vidrelo_engine.h"
#include "media/audio_device.h"
#include "media/camera_channel.h"
#include "media/codec_library.h"
#include "media/frame_buffer_record.h"
#include "media/pixel_format.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/h264_units.h"
#include "tests/support/temp_dir.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace talvik;

namespace {

struct SessionRecord {
    std::vector<std::uint32_t> ticks;
    std::vector<ClientFormat> requests;
    bool destroyed = false;
};

class FakeSession final : public PhoneSession {
public:
    explicit FakeSession(SessionRecord& record) : record_(record) {}
    ~FakeSession() override { record_.destroyed = true; }
    void Tick(std::uint32_t now) override { record_.ticks.push_back(now); }
    void StartStreaming(const ClientFormat& requested) override { record_.requests.push_back(requested); }
    bool networkAvailable() const override { return true; }
    ConnectionState state() const override { return ConnectionState::kIdle; }
    bool hasUsbConnection() const override { return false; }
    int usbValidDeviceCount() const override { return 0; }
    bool usbHasDeviceList() const override { return false; }

private:
    SessionRecord& record_;
};

class RecordingDesktop final : public Desktop {
public:
    void NotifyTray(TrayCode code) override { codes.push_back(code); }
    void StartProgram(const ProgramCommand& command) override { started.push_back(command); }
    bool IsAppleMobileDeviceServiceRunning() override { return appleRunning; }

    std::vector<int> codes;
    std::vector<ProgramCommand> started;
    bool appleRunning = true;
};

const ClientFormat kPhoneFormats[] = {
    {1920, 1080, 30, 1}, {1280, 720, 30, 1}, {640, 480, 30, 1}, {1280, 720, 30, 0}};

class EngineTest : public ::testing::Test {
protected:
    EngineTest()
    {
        config_.SetString(kUninstallKey, kUninstallValue, dir_.File("uninst.exe"));
        test::WriteFile(dir_.File("Vidrelo.ini"), "[logging]\nloglevel=3\n");
        config_.SetString(kProductKey, kCameraFileValue, dir_.File("camera"));
        config_.SetString(kProductKey, kAudioDeviceValue, dir_.File("audio"));
        // Windows binds the codec libraries from the install directory only.
        for (const auto& entry : std::filesystem::directory_iterator(TALVIK_TEST_CODEC_DIR))
            if (entry.path().extension() == ".dll")
                std::filesystem::copy_file(entry.path(), dir_.File(entry.path().filename().string()));
    }

    // The camera file's commit sequence: 2 more per committed picture.
    std::uint32_t Commits()
    {
        const std::string file = test::ReadFile(dir_.File("camera"));
        return file.size() < 24 ? 0 : static_cast<std::uint8_t>(file[20]) | static_cast<std::uint8_t>(file[21]) << 8;
    }
    // Luma of the committed 1280 x 720 NV12 picture at (x, y).
    int Luma(std::uint32_t x, std::uint32_t y)
    {
        return static_cast<std::uint8_t>(test::ReadFile(dir_.File("camera")).at(4096 + y * 1280 + x));
    }

    void Make()
    {
        engine_ = std::make_unique<VidreloEngine>(VidreloEngine::Edges{
            config_, desktop_,
            [this](ConnectionManagerObserver& observer) {
                EXPECT_EQ(&observer, static_cast<ConnectionManagerObserver*>(engine_.get()));
                return std::make_unique<FakeSession>(session_);
            },
            std::make_shared<spdlog::sinks::ostream_sink_mt>(debugger_)});
    }

    void SetSetup(std::int32_t width, std::int32_t height) { WriteSetup(config_, width, height); }

    // The lines written so far, without their time stamps.
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        std::istringstream in(debugger_.str());
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') // Windows line ends
                line.pop_back();
            lines.push_back(line.substr(line.find("] ") + 2));
        }
        return lines;
    }

    int Count(const std::string& text)
    {
        const std::vector<std::string> lines = Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }

    test::TempDir dir_;
    test::FakeConfigStore config_;
    RecordingDesktop desktop_;
    SessionRecord session_;
    std::ostringstream debugger_;
    std::unique_ptr<VidreloEngine> engine_;
};

} // namespace

TEST_F(EngineTest, first_driver_size_comes_from_setup_within_bounds)
{
    struct {
        std::int32_t width, height;
        std::uint32_t requestedWidth, requestedHeight;
    } const cases[] = {
        {0, 0, 640, 480},        // no "Setup" value
        {1920, 1080, 1920, 1080}, // largest kept
        {2560, 1440, 640, 480},   // too large
        {320, 240, 640, 480},     // too small
        {1280, 720, 1280, 720},
    };
    for (const auto& c : cases) {
        if (c.width != 0)
            SetSetup(c.width, c.height);
        session_ = {};
        Make();
        engine_->Start();
        engine_->OnConnectionReceived(ConnectionType::kWifi, kPhoneFormats, 4);
        ASSERT_EQ(session_.requests.size(), 1u);
        EXPECT_EQ(session_.requests[0], (ClientFormat{c.requestedWidth, c.requestedHeight, 30, 1}))
            << c.width << " x " << c.height;
        engine_->Stop();
        engine_.reset();
    }
}

TEST_F(EngineTest, reacts_to_connections_and_disconnections)
{
    Make();
    engine_->Start();
    EXPECT_TRUE(engine_->appleServiceRunning());

    engine_->OnBarcodeClientConnected();
    EXPECT_EQ(engine_->state(), EngineState::kIdle);

    engine_->OnConnectionReceived(ConnectionType::kWifi, kPhoneFormats, 4);
    EXPECT_EQ(engine_->state(), EngineState::kVidreloConnected);
    engine_->OnConnectionReceived(ConnectionType::kUsb, kPhoneFormats + 1, 1);
    engine_->ConnectionDisconnected();
    engine_->ConnectionDisconnected();
    EXPECT_EQ(engine_->state(), EngineState::kIdle);
    engine_->OnConnectionReceived(static_cast<ConnectionType>(7), kPhoneFormats, 4);

    EXPECT_EQ(desktop_.codes, (std::vector<int>{1, 5, 4}));
    // A second connection while connected asks again without a transition.
    ASSERT_EQ(session_.requests.size(), 3u);
    EXPECT_EQ(session_.requests[0], (ClientFormat{640, 480, 30, 1}));
    EXPECT_EQ(session_.requests[1], (ClientFormat{1280, 720, 30, 1}));
    EXPECT_EQ(Count("Vidrelo connection received"), 3);
    EXPECT_EQ(Count("VidreloEngine: IDLE -> VIDRELO CONNECTED"), 2);
    EXPECT_EQ(Count("ConnectionDisconnected"), 2);
    EXPECT_EQ(Count("VidreloEngine: VIDRELO CONNECTED -> IDLE"), 1);
    EXPECT_EQ(engine_->selectedFormat(), (ClientFormat{640, 480, 30, 1}));

    // Stop leaves IDLE, drops the session, and the destructor logs its end.
    engine_->Stop();
    EXPECT_TRUE(session_.destroyed);
    EXPECT_EQ(engine_->selectedFormat().width, 0u);
    engine_.reset();
    const std::vector<std::string> lines = Lines();
    const std::vector<std::string> tail(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Engine Stop", "VidreloEngine: VIDRELO CONNECTED -> IDLE",
                                              "Deleting VidreloEngine", "VidreloEngine deleted"}));
    EXPECT_EQ(lines.front(), "VidreloEngine created with log level 3");
}

TEST_F(EngineTest, ticks_reach_the_session_with_the_engine_clock)
{
    Make();
    engine_->Tick(5); // before Start: no session yet
    engine_->Start();
    engine_->Tick(16);
    engine_->Tick(33);
    EXPECT_EQ(session_.ticks, (std::vector<std::uint32_t>{16, 33}));
}

TEST_F(EngineTest, helper_program_gets_the_phone_text_as_one_argument)
{
    Make();
    engine_->Start();
    engine_->OnStartHelperProgram("ABC; rm -rf /", 3);
    engine_->OnStartHelperProgram("two words", 9);
    ASSERT_EQ(desktop_.started.size(), 2u);
    EXPECT_EQ(desktop_.started[0], (ProgramCommand{dir_.File(kHelperProgramFile), "ABC"}));
    EXPECT_EQ(desktop_.started[1].argument, "two words");

    // A text that does not fit the command line is refused, not cut.
    const std::string dirPart = dir_.File(kHelperProgramFile) + " ";
    const std::string fits(kCommandLineBytes - 1 - dirPart.size(), 'x');
    engine_->OnStartHelperProgram(fits.c_str(), static_cast<std::uint32_t>(fits.size()));
    const std::string tooLong = fits + "x";
    engine_->OnStartHelperProgram(tooLong.c_str(), static_cast<std::uint32_t>(tooLong.size()));
    ASSERT_EQ(desktop_.started.size(), 3u);
    EXPECT_EQ(desktop_.started[2].argument, fits);
    EXPECT_EQ(Count("Helper program text of " + std::to_string(tooLong.size()) +
                    " bytes does not fit the command line"),
              1);

    // Without an install directory Windows starts nothing; Linux starts the
    // program beside its own.
    config_.SetString(kUninstallKey, kUninstallValue, "uninst.exe");
    engine_->OnStartHelperProgram("ABC", 3);
#ifdef _WIN32
    EXPECT_EQ(desktop_.started.size(), 3u);
#else
    ASSERT_EQ(desktop_.started.size(), 4u);
    EXPECT_EQ(desktop_.started[3].program,
              std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/" + kHelperProgramFile);
#endif
}

// The phone's raw NV12 frames go straight to the scaler, at the size of the
// format asked for: 640 x 480 while the camera file asks for 1280 x 720.
TEST_F(EngineTest, raw_frames_of_the_selected_size_reach_the_camera)
{
    Make();
    engine_->Start();
    if (!CodecLibrariesBound())
        TALVIK_SKIP_MISSING() << "no codec libraries";
    engine_->OnConnectionReceived(ConnectionType::kWifi, kPhoneFormats, 4);
    ASSERT_EQ(session_.requests.back(), (ClientFormat{640, 480, 30, 1}));

    // A short frame is refused whole: nothing beyond its end is read, no
    // picture is shown. Its own allocation lets a memory checker see a
    // read past the end.
    auto shortFrame = std::make_unique<std::uint8_t[]>(460799);
    std::fill_n(shortFrame.get(), 460799, std::uint8_t{200});
    engine_->OnRawVideoFrame(shortFrame.get(), 460799);
    EXPECT_EQ(Count("Wrong size video frame received: 460799 (expected: 460800"), 1);
    EXPECT_EQ(Commits(), 0u);

    // A longer one is shown from its start; flat grey, letterboxed to 960
    // x 720 between black bars of 160.
    std::vector<std::uint8_t> frame(460810, 200);
    std::fill(frame.begin() + 640 * 480, frame.end(), std::uint8_t{128});
    engine_->OnRawVideoFrame(frame.data(), 460810);
    EXPECT_EQ(Count("Wrong size video frame received: 460810 (expected: 460800"), 1);
    EXPECT_EQ(Commits(), 2u);
    EXPECT_EQ(Luma(640, 360), 200);
    EXPECT_EQ(Luma(159, 360), 0);
    EXPECT_EQ(Luma(160, 360), 200);

    // The camera's size differs from the one streamed: the next tick asks
    // the phone for it.
    EXPECT_EQ(Count("Video resolution changed, reconnecting to change client resolution from 640 x 480 to 1280 x 720"),
              1);
    EXPECT_EQ(Count("Showing video parameters"), 1);
    EXPECT_EQ(ReadSetup(config_).width, 1280);
    engine_->Tick(16);
    EXPECT_EQ(session_.requests.back(), (ClientFormat{1280, 720, 30, 1}));

    // The first frame after a choice counts as new; then the size matches.
    frame.resize(1382400, 128);
    engine_->OnRawVideoFrame(frame.data(), 1382400);
    engine_->OnRawVideoFrame(frame.data(), 1382400);
    EXPECT_EQ(Commits(), 6u);
    EXPECT_EQ(Count("Showing video parameters"), 2);
    EXPECT_EQ(Count("Video resolution changed, reconnecting to change client resolution from 640 x 480 to 1280 x 720"),
              1);

    // Raw frames share the camera buffer with the tick's drain, so they wait
    // for its lock.
    std::unique_lock<std::mutex> hold(*engine_->pictureLock());
    std::thread loop([&] { engine_->OnRawVideoFrame(frame.data(), 1382400); });
    // Time for a commit that nothing holds back: that none comes is the subject.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Commits(), 6u);
    hold.unlock();
    loop.join();
    EXPECT_EQ(Commits(), 8u);
    engine_->Stop();
}

// When the camera asks for 640 x 480 but the phone offers only 16:9 sizes,
// the width chosen stays and no new format is asked for.
TEST_F(EngineTest, keeps_streaming_when_no_better_format_exists)
{
    Make();
    engine_->Start();
    if (!CodecLibrariesBound())
        TALVIK_SKIP_MISSING() << "no codec libraries";
    const ClientFormat wide[] = {{1280, 720, 30, 1}, {1920, 1080, 30, 1}};
    SetSetup(1280, 720);
    engine_->Stop();
    engine_->Start();
    engine_->OnConnectionReceived(ConnectionType::kUsb, wide, 2);
    ASSERT_EQ(session_.requests.back(), (ClientFormat{1280, 720, 30, 1}));
    std::vector<std::uint8_t> frame(1382400, 128);
    engine_->OnRawVideoFrame(frame.data(), 1382400);
    EXPECT_EQ(Commits(), 2u);

    // The consumer now asks for 640 x 480 NV12 (the request sits at 64).
    {
        const FrameBufferRecord request = DescribeFormat(640, 480, kPixelNv12);
        std::fstream file(dir_.File("camera"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(64);
        file.write(reinterpret_cast<const char*>(request.bytes.data()), FrameBufferRecord::kBytes);
    }
    engine_->OnRawVideoFrame(frame.data(), 1382400);
    EXPECT_EQ(Commits(), 4u);
    EXPECT_EQ(Count("Video resolution changed but we are already streaming best possible format"), 1);
    engine_->Tick(16);
    EXPECT_EQ(session_.requests.size(), 1u);
    engine_->Stop();
}

// A packet's depth record is freed when its picture comes back; packets
// whose pictures never do (here: not H.264 at all) hold only a bounded
// number of records, and Stop frees the rest.
TEST_F(EngineTest, depth_records_are_freed_with_their_pictures_or_bounded)
{
    Make();
    engine_->Start();
    if (!CodecLibrariesBound())
        TALVIK_SKIP_MISSING() << "no codec libraries";
    engine_->OnConnectionReceived(ConnectionType::kWifi, kPhoneFormats, 4);
    const std::uint8_t depth[8] = {};
    const auto units = test::ReadH264Units(TALVIK_TEST_STREAMS_DIR "quadrants-640x480.h264units");
    ASSERT_FALSE(units.empty());
    for (const auto& unit : units)
        engine_->OnVideoDataWithDepth(unit.data(), static_cast<std::uint32_t>(unit.size()), 0, 2, 2, depth,
                                      sizeof depth);
    engine_->Tick(16);
    EXPECT_EQ(engine_->depthRecordsWaiting(), 0u);
    EXPECT_GE(Count("Showing video parameters"), 1);

    const std::uint8_t noise[] = {0, 0, 0, 1, 0x65, 0x12, 0x34};
    for (int i = 0; i < 40; ++i)
        engine_->OnVideoDataWithDepth(noise, sizeof noise, 0, 2, 2, depth, sizeof depth);
    EXPECT_EQ(engine_->depthRecordsWaiting(), DepthRecords::kMaxWaiting);
    engine_->Stop();
    EXPECT_EQ(engine_->depthRecordsWaiting(), 0u);
}

// A picture the decoder drops after it was handed a buffer (here: a camera
// asking for an odd NV12 width) gives the buffer back: the camera client's
// count does not stay raised, so the pictures after the consumer changes
// its size commit without the reference-count line.
TEST_F(EngineTest, dropped_pictures_give_their_camera_buffer_back)
{
    Make();
    engine_->Start();
    if (!CodecLibrariesBound())
        TALVIK_SKIP_MISSING() << "no codec libraries";
    engine_->OnConnectionReceived(ConnectionType::kWifi, kPhoneFormats, 4);
    const auto askFor = [&](std::uint32_t width, std::uint32_t height) {
        const FrameBufferRecord request = DescribeFormat(width, height, kPixelNv12);
        std::fstream file(dir_.File("camera"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(64);
        file.write(reinterpret_cast<const char*>(request.bytes.data()), FrameBufferRecord::kBytes);
    };
    const auto units = test::ReadH264Units(TALVIK_TEST_STREAMS_DIR "quadrants-640x480.h264units");
    ASSERT_FALSE(units.empty());
    const auto stream = [&] {
        for (const auto& unit : units)
            engine_->OnVideoData(unit.data(), static_cast<std::uint32_t>(unit.size()), 0);
        engine_->Tick(16);
    };
    askFor(641, 480);
    stream();
    EXPECT_EQ(Commits(), 0u);
    askFor(640, 480);
    stream();
    EXPECT_GE(Commits(), 2u);
    EXPECT_EQ(Count("Videodriver GetOutputBuffer reference count"), 0);
    engine_->Stop();
}

// Depth records go with their packets through the decoder; every one is
// freed, whether its picture came back or not.
TEST(DepthRecordsTest, frees_delivered_records_and_bounds_the_waiting_ones)
{
    DepthRecords records;
    records.Add({nullptr, 8, 640, 480});
    const std::uintptr_t second = records.Add({nullptr, 8, 640, 480});
    records.Release(second);
    records.Release(second); // delivered twice: nothing more to free
    EXPECT_EQ(records.waiting(), 1u);
    // Pictures never delivered: the oldest go first.
    for (int i = 0; i < 40; ++i)
        records.Add({nullptr, 8, 640, 480});
    EXPECT_EQ(records.waiting(), DepthRecords::kMaxWaiting);
    records.Clear();
    EXPECT_EQ(records.waiting(), 0u);
}
