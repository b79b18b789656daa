// Logger set-up against real files: levels, sinks, rotation and the
// fallback when the log file cannot be opened.
#include "base/config.h"
#include "base/logging.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <regex>
#include <sstream>

using namespace talvik;
using talvik::test::FakeConfigStore;
using talvik::test::FileExists;
using talvik::test::ReadFile;
using talvik::test::TempDir;

namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

class LoggingTest : public ::testing::Test {
protected:
    // Installs the logger as if the product were installed in `dir_` (or in
    // `installDir` when given) with "loglevel" `level`.
    int SetUp(int level, const std::string& installDir = {})
    {
        const std::string dir = installDir.empty() ? dir_.path() : installDir;
        store_.SetString(kUninstallKey, kUninstallValue, dir + kPathSeparator + "uninst.exe");
        talvik::test::WriteFile(dir_.File("Vidrelo.ini"), "[logging]\nloglevel=" + std::to_string(level) + "\n");
        return SetUpLogging(store_, std::make_shared<spdlog::sinks::ostream_sink_mt>(debugger_));
    }

    void TearDown() override { ShutDownLogging(); }

    std::string LogFile(const char* name = "log.txt")
    {
        spdlog::default_logger()->flush();
        return ReadFile(dir_.File(name));
    }

    TempDir dir_;
    FakeConfigStore store_;
    std::ostringstream debugger_;
};

} // namespace

TEST_F(LoggingTest, level_1_keeps_errors_and_drops_info)
{
    EXPECT_EQ(SetUp(1), 1);
    EXPECT_EQ(spdlog::default_logger()->name(), "Vidrelo");
    spdlog::info("Engine Start");
    spdlog::error("VideoDriver CreateFile failed: {0}", 2);

    const std::string log = LogFile();
    EXPECT_EQ(log.find("Engine Start"), std::string::npos);
    EXPECT_TRUE(std::regex_match(log, std::regex(R"(\[\d\d:\d\d:\d\d:\d\d\d\] VideoDriver CreateFile failed: 2)" + kEol)))
        << log;
    EXPECT_EQ(debugger_.str(), log) << "the debugger sink sees the same lines";
}

TEST_F(LoggingTest, level_3_writes_trace_lines)
{
    EXPECT_EQ(SetUp(3), 3);
    spdlog::trace("VidreloEngine created with log level {0}", 3);
    EXPECT_NE(LogFile().find("] VidreloEngine created with log level 3" + kEol), std::string::npos);
}

TEST_F(LoggingTest, level_0_writes_nothing_anywhere)
{
    EXPECT_EQ(SetUp(0), 0);
    spdlog::error("VideoDriver CreateFile failed: {0}", 2);
    spdlog::default_logger()->flush();
    EXPECT_FALSE(FileExists(dir_.File("log.txt")));
    EXPECT_EQ(debugger_.str(), "");
}

TEST_F(LoggingTest, rotation_keeps_exactly_two_older_files)
{
    SetUp(2);
    const std::string line(1000, 'x');
    for (int i = 0; i < 4 * 1100; ++i)
        spdlog::info("{0} {1}", i, line);
    spdlog::default_logger()->flush();

    for (const char* name : {"log.txt", "log.1.txt", "log.2.txt"}) {
        ASSERT_TRUE(FileExists(dir_.File(name))) << name;
        EXPECT_LE(ReadFile(dir_.File(name)).size(), kLogFileMaxBytes) << name;
    }
    EXPECT_FALSE(FileExists(dir_.File("log.3.txt")));
    // The newest lines are in log.txt, the ones before them in log.1.txt.
    EXPECT_NE(LogFile().find("] 4399 x"), std::string::npos);
    EXPECT_EQ(LogFile("log.1.txt").find("] 4399 x"), std::string::npos);
}

TEST_F(LoggingTest, unopenable_log_file_falls_back_to_the_debugger_sink)
{
    // The install directory lies below a plain file, so neither it nor
    // "log.txt" can be created; the level is read from an ini file elsewhere.
    struct IniElsewhere : FakeConfigStore {
        std::string ini;
        int ReadIniInt(const std::string&, const std::string& s, const std::string& k, int f) override
        {
            return FakeConfigStore::ReadIniInt(ini, s, k, f);
        }
    } store;
    store.ini = dir_.File("Vidrelo.ini");
    talvik::test::WriteFile(store.ini, "[logging]\nloglevel=2\n");
    talvik::test::WriteFile(dir_.File("blocker"), "a file, not a directory");
    const std::string unusable = dir_.File("blocker") + kPathSeparator + "deeper";
    store.SetString(kUninstallKey, kUninstallValue, unusable + kPathSeparator + "uninst.exe");

    EXPECT_EQ(SetUpLogging(store, std::make_shared<spdlog::sinks::ostream_sink_mt>(debugger_)), 2);
    spdlog::info("still logging");
    spdlog::default_logger()->flush();
    EXPECT_TRUE(std::regex_match(debugger_.str(),
                                 std::regex(R"(\[[\d:]{12}\] Adding file sink to logger failed)" + kEol +
                                            R"(\[[\d:]{12}\] still logging)" + kEol)))
        << debugger_.str();
}
