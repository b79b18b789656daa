// On Linux the transport links libusbmuxd; the run-time binding that
// Windows uses is checked here against the real library's export names.
#include "session/usbmuxd_binding.h"

#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

using namespace talvik;

TEST(usbmuxd_binding, binds_every_entry_point_of_the_real_library_by_name)
{
    test::LogRecorder log;
    EXPECT_NE(UsbmuxdLibrary::Load("libusbmuxd-2.0.so.6"), nullptr);
    EXPECT_EQ(UsbmuxdLibrary::Load("libplist-2.0.so.3"), nullptr) << "loads, but has none of the entry points";
    EXPECT_EQ(UsbmuxdLibrary::Load("libtalvik-no-such-library.so"), nullptr);
    EXPECT_EQ(log.Count("error: USB not available"), 2);

    ASSERT_NE(Usbmuxd(), nullptr) << "linked: always there";
    EXPECT_LT(Usbmuxd()->connect(0, 0), 0) << "the table reaches the real library";
}
