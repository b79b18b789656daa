// The crash handler in a process that faults: a minidump beside the
// executable, then the filter it replaced.
#include "tests/service/child_process_win.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <regex>

TEST(crash_handler, writes_a_minidump_beside_the_executable_then_chains)
{
    talvik::test::TempDir dir;
    const std::string probe = dir.File("crash_probe.exe");
    ASSERT_TRUE(CopyFileA(talvik::test::SiblingProgram("crash_probe.exe").c_str(), probe.c_str(), TRUE))
        << GetLastError();
    talvik::test::ChildProcess crashing(probe, "");
    ASSERT_TRUE(crashing.started()) << GetLastError();
    EXPECT_EQ(crashing.ExitCode(60000), 3) << "the previous filter was not called";

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(dir.File("crash*.dmp").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no crash*.dmp beside the probe";
    const std::string name = found.cFileName;
    EXPECT_FALSE(FindNextFileA(search, &found)) << "more than one dump";
    FindClose(search);
    EXPECT_TRUE(std::regex_match(name, std::regex("crash[0-9]+\\.dmp"))) << name;
    EXPECT_EQ(talvik::test::ReadFile(dir.File(name)).substr(0, 4), "MDMP");
}
