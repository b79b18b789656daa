// The registry backend against Wine's (or Windows') real registry.
#include "base/config.h"
#include "tests/support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

using namespace talvik;

namespace {

void SetUninstallString(const std::string& value)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, kUninstallValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class RegistryTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUninstallKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProductKey);
    }
};

} // namespace

TEST_F(RegistryTest, install_directory_from_the_uninstall_entry)
{
    ConfigStore& store = SystemConfigStore();
    EXPECT_EQ(InstallDirectory(store), std::nullopt);
    SetUninstallString("C:\\Program Files\\Cam\\uninst.exe");
    EXPECT_EQ(InstallDirectory(store), "C:\\Program Files\\Cam\\");
    EXPECT_EQ(InstallPath(store, kIniFileName, InstallFile::kSettings), "C:\\Program Files\\Cam\\Vidrelo.ini");

    SetUninstallString("C:\\" + std::string(246, 'a') + "\\u.exe"); // 255 bytes + terminator
    EXPECT_EQ(InstallDirectory(store), "C:\\" + std::string(246, 'a') + "\\");
    SetUninstallString("C:\\" + std::string(247, 'a') + "\\u.exe");
    EXPECT_EQ(InstallDirectory(store), std::nullopt) << "does not fit 256 bytes";
}

TEST_F(RegistryTest, setup_is_an_8_byte_binary_value_under_a_videoSize_key)
{
    WriteSetup(1280, 720);
    EXPECT_EQ(ReadSetup(), (VideoSize{1280, 720}));

    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char keyClass[64];
    DWORD classLength = sizeof keyClass;
    ASSERT_EQ(RegQueryInfoKeyA(key, keyClass, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(keyClass, "videoSize");
    DWORD type = 0;
    BYTE data[16];
    DWORD size = sizeof data;
    ASSERT_EQ(RegQueryValueExA(key, kSetupValue, nullptr, &type, data, &size), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(size, 8u);
    const BYTE expected[8] = {0x00, 0x05, 0x00, 0x00, 0xd0, 0x02, 0x00, 0x00};
    EXPECT_EQ(memcmp(data, expected, 8), 0);

    WriteSetup(2560, 1440);
    EXPECT_EQ(ReadSetup(), kFallbackVideoSize);
}
