// Windows binds libusbmuxd at run time: a missing library means running
// without USB, and a library given by its full path finds the libplist DLL
// beside it rather than only beside the program.
#include "session/usbmuxd_binding.h"

#include "tests/support/log_recorder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace talvik;

namespace fs = std::filesystem;

TEST(usbmuxd_binding, without_the_library_usb_is_not_available_and_said_only_once)
{
    // The test prefix has no libusbmuxd in any install directory. The first
    // call in the process (perhaps by another test) has logged already.
    EXPECT_EQ(Usbmuxd(), nullptr);
    test::LogRecorder log;
    EXPECT_EQ(Usbmuxd(), nullptr);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(usbmuxd_binding, the_library_loads_from_its_directory_with_libplist_beside_it)
{
    test::TempDir dir;
    fs::copy_file(FAKE_USBMUXD_PATH, dir.File("libusbmuxd-2.0.dll"));
    fs::copy_file(FAKE_USBMUXD_INCOMPLETE_PATH, dir.File("incomplete.dll"));
    fs::copy_file(FAKE_PLIST_PATH, dir.File("libplist-2.0.dll"));

    test::LogRecorder log;
    EXPECT_NE(UsbmuxdLibrary::Load(dir.File("libusbmuxd-2.0.dll")), nullptr) << "libplist-2.0.dll is found beside it";
    EXPECT_EQ(UsbmuxdLibrary::Load(dir.File("incomplete.dll")), nullptr);
    EXPECT_EQ(UsbmuxdLibrary::Load(dir.File("missing.dll")), nullptr);
    EXPECT_EQ(log.Count("error: USB not available"), 2);
}
