// The engine's reactions to the phone session, against a fake session and a
// recording desktop, read through the log lines an operator sees.
#include "base/config.h"
#include "engine/vidrelo_engine.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>

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
    ConnectionState state() const override { return ConnectionState::Idle; }
    bool HasUsbConnection() const override { return false; }
    int UsbValidDeviceCount() const override { return 0; }
    bool UsbHasDeviceList() const override { return false; }

private:
    SessionRecord& record_;
};

class RecordingDesktop final : public Desktop {
public:
    void NotifyTray(int code) override { codes.push_back(code); }
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
        engine_->OnConnectionReceived(ConnectionType::Wifi, kPhoneFormats, 4);
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

    engine_->OnConnectionReceived(ConnectionType::Wifi, kPhoneFormats, 4);
    EXPECT_EQ(engine_->state(), EngineState::kVidreloConnected);
    engine_->OnConnectionReceived(ConnectionType::Usb, kPhoneFormats + 1, 1);
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

    // Without an install directory nothing is started.
    config_.SetString(kUninstallKey, kUninstallValue, "uninst.exe");
    engine_->OnStartHelperProgram("ABC", 3);
    EXPECT_EQ(desktop_.started.size(), 3u);
}
