// The crash handler in a process that really crashes: the report lands
// beside the executable and the process still dies of its signal.
#include "tests/support/helper_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

// A fault on the main thread, and a stack overflow on a second thread,
// whose report needs the signal stack that thread holds.
TEST(crash_handler, a_fault_leaves_a_report_beside_the_executable_and_still_kills)
{
    struct Case {
        const char* argument;
        const char* reportStart;
    } cases[] = {
        {nullptr, "Fatal signal 11\nFault address 0x10\nBacktrace:\n"},
        {"overflow", "Fatal signal 11\nFault address 0x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument ? c.argument : "a write to 0x10");
        talvik::test::TempDir dir;
        // A copy, so that the report lands in the test's own directory.
        const std::string probe = dir.File("crash_probe");
        std::filesystem::copy_file(talvik::test::SiblingProgram("crash_probe"), probe);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(probe.c_str(), probe.c_str(), c.argument, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGSEGV);

        std::vector<std::string> reports;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path() != probe)
                reports.push_back(entry.path().filename().string());
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(std::regex_match(reports[0], std::regex("crash[0-9]+\\.txt"))) << reports[0];
        const std::string report = talvik::test::ReadFile(dir.File(reports[0]));
        EXPECT_EQ(report.rfind(c.reportStart, 0), 0u) << report;
        EXPECT_NE(report.find("Backtrace:\n"), std::string::npos) << report;
        EXPECT_NE(report.find("crash_probe("), std::string::npos) << report;
    }
}
