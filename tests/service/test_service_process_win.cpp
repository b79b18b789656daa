// TalvikSvc.exe as a process: it finds its install directory in the
// registry and logs into "log.txt" there.
#include "base/config.h"
#include "tests/support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

using namespace talvik;

namespace {

std::string SiblingProgram(const char* name)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, length);
    return path.substr(0, path.rfind('\\') + 1) + name;
}

} // namespace

TEST(service_process, logs_into_the_install_directory_at_level_3)
{
    talvik::test::TempDir dir;
    talvik::test::WriteFile(dir.File("Vidrelo.ini"), "[logging]\r\nloglevel=3\r\n");
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string uninstall = dir.File("uninst.exe");
    RegSetValueExA(key, kUninstallValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(uninstall.c_str()),
                   static_cast<DWORD>(uninstall.size() + 1));
    RegCloseKey(key);

    std::string command = "\"" + SiblingProgram("TalvikSvc.exe") + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process))
        << GetLastError();

    // The logger flushes once a second.
    std::string log;
    for (int i = 0; i < 100 && log.find("TalvikSvc running with log level 3") == std::string::npos; ++i) {
        Sleep(100);
        log = talvik::test::ReadFile(dir.File("log.txt"));
    }
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUninstallKey);

    EXPECT_NE(log.find("] TalvikSvc running with log level 3\r\n"), std::string::npos) << log;
}
