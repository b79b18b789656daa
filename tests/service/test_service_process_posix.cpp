// TalvikSvc as a process: it finds its install directory in the
// configuration file, logs into "log.txt" there and stops on SIGTERM.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

std::string SiblingProgram(const char* name)
{
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

} // namespace

TEST(service_process, logs_into_the_install_directory_and_stops_on_sigterm)
{
    talvik::test::TempDir dir;
    talvik::test::WriteFile(dir.File("Vidrelo.ini"), "[logging]\nloglevel=3\n");
    talvik::test::WriteFile(dir.File("talvik.conf"),
                            "[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TalvikDrivers]\n"
                            "UninstallString=" + dir.File("uninstall.sh") + "\n");

    const std::string program = SiblingProgram("TalvikSvc");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("TALVIK_CONFIG_DIR", dir.path().c_str(), 1);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }

    std::string log;
    for (int i = 0; i < 100 && log.find("TalvikSvc running with log level 3") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        log = talvik::test::ReadFile(dir.File("log.txt"));
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);

    EXPECT_NE(log.find("] TalvikSvc running with log level 3\n"), std::string::npos) << log;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(talvik::test::ReadFile(dir.File("log.txt")).find("] TalvikSvc stopping\n"), std::string::npos);
}
