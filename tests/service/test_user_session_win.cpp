// The check for the USB multiplexer's service process, against a process of
// the test's own under that name in another letter case.
#include "service/user_session.h"
#include "tests/service/child_process_win.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

TEST(user_session, finds_the_usb_service_process_by_name_in_any_letter_case)
{
    EXPECT_FALSE(talvik::IsAppleMobileDeviceServiceRunning());

    talvik::test::TempDir dir;
    const std::string program = dir.File("applemobiledeviceSERVICE.EXE");
    ASSERT_TRUE(CopyFileA(talvik::test::SiblingProgram("crash_probe.exe").c_str(), program.c_str(), TRUE))
        << GetLastError();
    {
        // Suspended: it only has to be listed, never to run.
        talvik::test::ChildProcess listed(program, "", CREATE_SUSPENDED);
        ASSERT_TRUE(listed.started()) << GetLastError();
        EXPECT_TRUE(talvik::IsAppleMobileDeviceServiceRunning());
    }
    EXPECT_FALSE(talvik::IsAppleMobileDeviceServiceRunning());
}
