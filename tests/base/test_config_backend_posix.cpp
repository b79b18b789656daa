// The Linux configuration file: where it lives, what it keeps on rewrite,
// and the ini reader's integer rules.
#include "base/config.h"
#include "base/config_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace talvik;
using talvik::test::ReadFile;
using talvik::test::TempDir;
using talvik::test::WriteFile;

TEST(config_file, directory_follows_the_environment)
{
    const char* saved = std::getenv("TALVIK_CONFIG_DIR");
    std::string savedValue = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", "/xdg", 1);
    setenv("TALVIK_CONFIG_DIR", "/explicit", 1);
    EXPECT_EQ(ConfigDirectory(), "/explicit");
    unsetenv("TALVIK_CONFIG_DIR");
    EXPECT_EQ(ConfigDirectory(), "/xdg/talvik");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(ConfigDirectory(), "/home/u/.config/talvik");
    if (saved)
        setenv("TALVIK_CONFIG_DIR", savedValue.c_str(), 1);
}

TEST(config_file, without_an_install_entry_each_file_has_its_linux_place)
{
    TempDir dir;
    ConfigFileStore store(dir.File("talvik.conf"));
    setenv("HOME", "/home/u", 1);
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(InstallPath(store, kLogFileName, InstallFile::kLog), "/home/u/.local/state/talvik/log.txt");
    setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(InstallPath(store, kLogFileName, InstallFile::kLog), "/state/talvik/log.txt");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(InstallPath(store, kIniFileName, InstallFile::kSettings), ConfigDirectory() + "/Vidrelo.ini");
    // Programs and codec libraries lie beside the running program.
    EXPECT_EQ(ProgramDirectory(store), std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/");
}

TEST(config_file, the_plain_section_holds_the_products_values_beside_the_registry_form)
{
    TempDir dir;
    ConfigFileStore store(dir.File("talvik.conf"));
    WriteFile(store.path(), "[talvik]\n"
                            "camera = pipewire\n"
                            "port = 5056\n"
                            "loglevel = 2\n"
                            "[Software\\Talvik\\Vidrelo]\n"
                            "Setup=hex:80,02,00,00,e0,01,00,00\n");
    EXPECT_EQ(store.ReadString(kProductKey, "Camera", 16), "pipewire");
    EXPECT_EQ(PhonePort(store), 5056);
    EXPECT_EQ(ReadLogLevel(store), 2);

    // The registry-shaped copy is the one replaced; no second copy appears.
    WriteSetup(store, 1920, 1080);
    EXPECT_EQ(ReadFile(store.path()), "[talvik]\n"
                                      "camera = pipewire\n"
                                      "port = 5056\n"
                                      "loglevel = 2\n"
                                      "[Software\\Talvik\\Vidrelo]\n"
                                      "Setup=hex:80,07,00,00,38,04,00,00\n");
    EXPECT_EQ(ReadSetup(store), (VideoSize{1920, 1080}));
}

TEST(config_file, reads_the_uninstall_entry_and_derives_the_install_directory)
{
    TempDir dir;
    ConfigFileStore store(dir.File("talvik.conf"));
    EXPECT_EQ(InstallDirectory(store), std::nullopt) << "no file yet";

    WriteFile(store.path(), "# comment\n"
                            "[software\\microsoft\\windows\\currentversion\\uninstall\\TalvikDrivers]\n"
                            "  uninstallstring = /opt/talvik/uninstall.sh  \n");
    EXPECT_EQ(InstallDirectory(store), "/opt/talvik/");
}

TEST(config_file, setup_is_written_as_hex_and_the_rest_of_the_file_is_kept)
{
    TempDir dir;
    ConfigFileStore store(dir.File("sub/talvik.conf"));
    WriteSetup(store, 1280, 720);
    EXPECT_EQ(ReadFile(store.path()), "[talvik]\nSetup=hex:00,05,00,00,d0,02,00,00\n") << "a new file is plain";
    EXPECT_EQ(ReadSetup(store), (VideoSize{1280, 720}));

    const std::string original = "; keep me\n"
                                 "[Software\\Talvik\\Vidrelo]\n"
                                 "Other=1\n"
                                 "SETUP=hex:80,02,00,00,e0,01,00,00\n"
                                 "\n"
                                 "[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TalvikDrivers]\n"
                                 "UninstallString=/opt/talvik/uninstall.sh\n";
    WriteFile(store.path(), original);
    EXPECT_EQ(ReadSetup(store), (VideoSize{640, 480}));
    WriteSetup(store, 1920, 1080);
    std::string expected = original;
    expected.replace(expected.find("SETUP=hex:80,02,00,00,e0,01,00,00"), 33, "Setup=hex:80,07,00,00,38,04,00,00");
    EXPECT_EQ(ReadFile(store.path()), expected);

    // A section without the value gets it after its last entry.
    WriteFile(store.path(), "[Software\\Talvik\\Vidrelo]\nOther=1\n\n[Next]\nA=b\n");
    WriteSetup(store, 800, 600);
    EXPECT_EQ(ReadFile(store.path()),
              "[Software\\Talvik\\Vidrelo]\nOther=1\nSetup=hex:20,03,00,00,58,02,00,00\n\n[Next]\nA=b\n");
}

TEST(config_file, malformed_binary_values_read_as_missing)
{
    TempDir dir;
    ConfigFileStore store(dir.File("talvik.conf"));
    for (const char* bad : {"Setup=00,05,00,00,d0,02,00,00", "Setup=hex:00,05,00,00,d0,02,00,zz",
                            "Setup=hex:100,05,00,00,d0,02,00,00", "Setup=hex:00,05,,00,d0,02,00"}) {
        WriteFile(store.path(), std::string("[Software\\Talvik\\Vidrelo]\n") + bad + "\n");
        EXPECT_EQ(store.ReadBinary(kProductKey, kSetupValue), std::nullopt) << bad;
        EXPECT_EQ(ReadSetup(store), kFallbackVideoSize) << bad;
    }
}

TEST(config_file, unwritable_location_fails_without_damage)
{
    TempDir dir;
    WriteFile(dir.File("blocker"), "x");
    ConfigFileStore store(dir.File("blocker/talvik.conf"));
    EXPECT_FALSE(store.WriteBinary(kProductKey, kProductKeyClass, kSetupValue, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ReadFile(dir.File("blocker")), "x");
}

TEST(config_file, ini_integers_follow_the_private_profile_rules)
{
    TempDir dir;
    ConfigFileStore store(dir.File("talvik.conf"));
    const std::string ini = dir.File("Vidrelo.ini");
    EXPECT_EQ(store.ReadIniInt(ini, "logging", "loglevel", 5), 5) << "missing file";
    WriteFile(ini, "[logging]\nloglevel=\n");
    EXPECT_EQ(store.ReadIniInt(ini, "logging", "loglevel", 5), 5) << "empty value";
    WriteFile(ini, "[logging]\nloglevel=12abc\n");
    EXPECT_EQ(store.ReadIniInt(ini, "logging", "loglevel", 5), 12);
    WriteFile(ini, "[logging]\nloglevel=99999999999\n");
    EXPECT_EQ(ClampLogLevel(store.ReadIniInt(ini, "logging", "loglevel", 0)), 3) << "overflow saturates";
}
