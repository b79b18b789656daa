// TalvikSvc.exe started outside the service control manager finds no
// dispatcher to join and ends with 0, whatever its argument but "install".
// Installation and the run under the SCM are the Wine test in
// tests/service/wine.
#include "tests/service/child_process_win.h"

#include <gtest/gtest.h>

TEST(service_process, started_outside_the_scm_it_ends_with_0)
{
    const std::string program = talvik::test::SiblingProgram("TalvikSvc.exe");
    // Side by side: under Wine each waits 10 s for the dispatcher.
    talvik::test::ChildProcess bare(program, ""), other(program, "start");
    EXPECT_EQ(bare.ExitCode(30000), 0);
    EXPECT_EQ(other.ExitCode(30000), 0);
}
