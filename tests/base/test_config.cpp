// Install directory, derived paths, log level and the remembered size, over
// an in-memory store.
#include "base/config.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace talvik;
using talvik::test::FakeConfigStore;

namespace {

std::string Sep(const std::string& dir)
{
    return dir + kPathSeparator;
}

} // namespace

TEST(config, install_directory_is_cut_after_the_last_separator)
{
    FakeConfigStore store;
    EXPECT_EQ(InstallDirectory(store), std::nullopt);
    EXPECT_EQ(InstallPath(store, kLogFileName, InstallFile::kLog), FallbackDirectory(InstallFile::kLog) + "log.txt");

    const std::string dir = Sep(Sep("root") + "Program Files" + kPathSeparator + "Cam");
    store.SetString(kUninstallKey, kUninstallValue, dir + "uninst.exe");
    EXPECT_EQ(InstallDirectory(store), dir);
    EXPECT_EQ(InstallPath(store, kIniFileName, InstallFile::kSettings), dir + "Vidrelo.ini");
    EXPECT_EQ(InstallPath(store, kLogFileName, InstallFile::kLog), dir + "log.txt");
    EXPECT_EQ(ProgramDirectory(store), dir);

    store.SetString(kUninstallKey, kUninstallValue, "uninst.exe");
    EXPECT_EQ(InstallDirectory(store), std::nullopt);
    EXPECT_EQ(InstallPath(store, kIniFileName, InstallFile::kSettings),
              FallbackDirectory(InstallFile::kSettings) + "Vidrelo.ini");
}

TEST(config, install_directory_value_must_fit_256_bytes)
{
    FakeConfigStore store;
    std::string longest = Sep(std::string(249, 'a')) + "u.exe"; // 256 bytes with the terminator
    ASSERT_EQ(longest.size(), 255u);
    store.SetString(kUninstallKey, kUninstallValue, longest);
    EXPECT_EQ(InstallDirectory(store), Sep(std::string(249, 'a')));

    store.SetString(kUninstallKey, kUninstallValue, longest + "x");
    EXPECT_EQ(InstallDirectory(store), std::nullopt);
}

TEST(config, log_level_is_clamped)
{
    EXPECT_EQ(ClampLogLevel(7), 3);
    EXPECT_EQ(ClampLogLevel(-2), 0);
    EXPECT_EQ(ClampLogLevel(0), 0);
    EXPECT_EQ(ClampLogLevel(2), 2);
}

TEST(config, log_level_comes_from_the_ini_file_in_the_install_directory)
{
    talvik::test::TempDir dir;
    FakeConfigStore store;
    store.SetString(kUninstallKey, kUninstallValue, dir.File("uninst.exe"));
    EXPECT_EQ(ReadLogLevel(store), 0) << "no ini file means logging off";

    struct Case {
        const char* content;
        int level;
    } cases[] = {
        {"[logging]\nloglevel=2\n", 2},
        {"[logging]\nloglevel=7\n", 3},
        {"[logging]\nloglevel=-2\n", 0},
        {"[logging]\nloglevel=verbose\n", 0},
        {"[other]\nloglevel=3\n", 0},
        {"[Logging]\nLogLevel=3\n", 3},
    };
    for (const Case& c : cases) {
        talvik::test::WriteFile(dir.File("Vidrelo.ini"), c.content);
        EXPECT_EQ(ReadLogLevel(store), c.level) << c.content;
    }
}

TEST(config, setup_round_trip_and_fallback)
{
    FakeConfigStore store;
    EXPECT_EQ(ReadSetup(store), kFallbackVideoSize) << "nothing stored yet";

    WriteSetup(store, 1280, 720);
    EXPECT_EQ(ReadSetup(store), (VideoSize{1280, 720}));
    EXPECT_EQ(store.keyClasses.at(kProductKey), "videoSize");
    EXPECT_EQ(store.ReadBinary(kProductKey, kSetupValue),
              (std::vector<std::uint8_t>{0x00, 0x05, 0x00, 0x00, 0xd0, 0x02, 0x00, 0x00}));

    WriteSetup(store, 1920, 1080);
    EXPECT_EQ(ReadSetup(store), (VideoSize{1920, 1080}));
    WriteSetup(store, 640, 480);
    EXPECT_EQ(ReadSetup(store), (VideoSize{640, 480}));

    for (VideoSize outside : {VideoSize{639, 480}, VideoSize{1921, 720}, VideoSize{1280, 479},
                              VideoSize{1280, 1081}, VideoSize{-1280, 720}}) {
        WriteSetup(store, outside.width, outside.height);
        EXPECT_EQ(ReadSetup(store), kFallbackVideoSize) << outside.width << "x" << outside.height;
    }

    store.WriteBinary(kProductKey, kProductKeyClass, kSetupValue, {0x00, 0x05, 0x00, 0x00, 0xd0, 0x02});
    EXPECT_EQ(ReadSetup(store), kFallbackVideoSize) << "a short value is unusable";

    store.failWrites = true;
    WriteSetup(store, 1280, 720); // ignored, must not throw
}

TEST(config, phone_port_is_5055_unless_linux_is_given_a_valid_one)
{
    FakeConfigStore store;
    EXPECT_EQ(PhonePort(store), 5055);
    const std::pair<const char*, int> cases[] = {
        {"6001", 6001}, {"65535", 65535}, {"0", 5055}, {"65536", 5055}, {"-1", 5055}, {"80x", 5055}, {"", 5055}};
    for ([[maybe_unused]] const auto& [text, port] : cases) {
        store.SetString(kProductKey, kPortValue, text);
#ifdef _WIN32
        EXPECT_EQ(PhonePort(store), 5055) << text;
#else
        EXPECT_EQ(PhonePort(store), port) << text;
#endif
    }
}
