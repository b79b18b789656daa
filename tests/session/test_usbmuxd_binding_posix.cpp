// On Linux the transport links libusbmuxd; the run-time binding that
// Windows uses is checked here against the real library's export names.
#include "session/usbmuxd_binding.h"

#include "service/dynamic_library.h"

#include <gtest/gtest.h>

using namespace talvik;

TEST(usbmuxd_binding, binds_every_entry_point_of_the_real_library_by_name)
{
    auto usbmuxd = DynamicLibrary::Open("libusbmuxd-2.0.so.6");
    ASSERT_NE(usbmuxd, nullptr);
    UsbmuxdBinding binding{};
    EXPECT_TRUE(BindUsbmuxd(*usbmuxd, binding));

    auto plist = DynamicLibrary::Open("libplist-2.0.so.3");
    ASSERT_NE(plist, nullptr);
    EXPECT_FALSE(BindUsbmuxd(*plist, binding)) << "a library without the entry points does not bind";

    ASSERT_NE(Usbmuxd(), nullptr);
    EXPECT_EQ(Usbmuxd()->connect(0, 0) < 0, true) << "the linked table calls the real library";
}
