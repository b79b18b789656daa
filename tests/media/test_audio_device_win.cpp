// The Windows audio device: without the "Talvik Audio" driver (as under
// Wine) the lookup finds nothing, the open fails and is logged, and the
// client refuses blocks quietly.
#include "media/audio_driver.h"

#include "tests/support/fake_config_store.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <objbase.h>

namespace talvik {
namespace {

TEST(audio_device_win, without_the_driver_the_open_fails_and_the_service_goes_on)
{
    // The engine's thread has COM; so has this one.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    test::LogRecorder log;
    test::FakeConfigStore config;
    EXPECT_FALSE(AudioDriver::FindDevicePath(config));
    AudioDriver driver;
    const std::uint8_t block[4] = {1, 2, 3, 4};
    EXPECT_FALSE(driver.Write(block, sizeof block));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"error: AudioDriver CreateFile failed: 3"});
    CoUninitialize();
}

} // namespace
} // namespace talvik
