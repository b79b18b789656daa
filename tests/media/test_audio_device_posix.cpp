// The Linux audio devices behind the audio client: the ring file, the FIFO
// that appears late, fills up and is replaced, and a real PulseAudio pipe
// source recorded with parec.
#include "media/audio_driver.h"

#include "tests/media/audio_test_fixture.h"
#include "tests/support/helper_process.h"
#include "tests/support/pulse_audio_posix.h"
#include "tests/support/temp_dir.h"
#include "tests/support/skip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <filesystem>

namespace talvik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
using test::TempDir;

bool Write(AudioDriver& driver, const Bytes& block)
{
    return driver.Write(block.data(), static_cast<std::uint32_t>(block.size()));
}

Bytes FileBytes(const std::string& path, std::size_t offset, std::size_t count)
{
    const std::string all = test::ReadFile(path);
    return offset + count <= all.size() ? Bytes(all.begin() + offset, all.begin() + offset + count) : Bytes{};
}

class AudioDevicePosixTest : public test::AudioTest {
protected:
    void TearDown() override
    {
        if (savedRuntime_)
            setenv("XDG_RUNTIME_DIR", savedRuntime_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        AudioTest::TearDown();
    }
    void SetRuntimeDir(const std::string& path)
    {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            savedRuntime_ = old;
        setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }

private:
    std::optional<std::string> savedRuntime_;
};

TEST_F(AudioDevicePosixTest, the_ring_file_wraps_keeps_its_position_across_opens_and_leaves_foreign_files_alone)
{
    TempDir run;
    SetRuntimeDir(run.path());
    ASSERT_TRUE(AudioDriver::FindDevicePath(config));
    const std::string path = run.path() + "/talvik/audio";
    const Bytes small{1, 2, 3, 4, 5, 6};
    {
        AudioDriver driver;
        // 64 blocks of 1024 frames fill the 262144-byte ring exactly.
        for (int i = 0; i < 64; ++i)
            ASSERT_TRUE(Write(driver, Bytes(2048, 0x11)));
        ASSERT_TRUE(Write(driver, small));
    }
    EXPECT_EQ(FileBytes(path, 0, 32), (Bytes{'T', 'L', 'V', 'K', 'A', 'U', 'D', 'R', 1, 0, 0, 0, 0x44, 0xAC, 0, 0,
                                            2, 0, 16, 0, 0, 0, 4, 0, 0x0C, 0, 4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(FileBytes(path, 64, 14), (Bytes{1, 2, 1, 2, 3, 4, 3, 4, 5, 6, 5, 6, 0x11, 0x11}));
    {
        AudioDriver driver;
        ASSERT_TRUE(Write(driver, small));
    }
    EXPECT_EQ(FileBytes(path, 24, 8), (Bytes{0x18, 0, 4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(FileBytes(path, 76, 14), (Bytes{1, 2, 1, 2, 3, 4, 3, 4, 5, 6, 5, 6, 0x11, 0x11}));

    test::WriteFile(path, "not audio");
    AudioDriver foreign;
    EXPECT_FALSE(Write(foreign, small));
    EXPECT_EQ(test::ReadFile(path), "not audio");
    EXPECT_EQ(log.Count("info: AudioDriver loaded"), 2);
    EXPECT_TRUE(log.Has("error: AudioDriver CreateFile failed: 22"));
}

TEST_F(AudioDevicePosixTest, a_full_fifo_drops_with_counted_warnings_and_a_replaced_fifo_is_taken)
{
    TempDir dir;
    const std::string path = dir.File("mic");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    config.SetString(kProductKey, "AudioDevice", path);
    ASSERT_TRUE(AudioDriver::FindDevicePath(config));
    AudioDriver driver;
    // Nobody reads: the pipe fills up and the writer never waits.
    int written = 0;
    while (written < 100 && Write(driver, Bytes(2048, 0x22)))
        ++written;
    EXPECT_LT(written, 100);
    EXPECT_FALSE(Write(driver, {1, 2}));
    EXPECT_FALSE(Write(driver, {1, 2}));
    EXPECT_FALSE(Write(driver, {1, 2}));
    std::vector<std::string> warnings;
    std::ranges::copy_if(log.Lines(), std::back_inserter(warnings), [](auto& l) { return l.starts_with("warn"); });
    EXPECT_EQ(warnings, (std::vector<std::string>{"warning: AudioDriver pipe full or missing: 1 blocks dropped",
                                                  "warning: AudioDriver pipe full or missing: 2 blocks dropped",
                                                  "warning: AudioDriver pipe full or missing: 4 blocks dropped"}));

    // A restarted sound server makes a new FIFO at the same path.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_TRUE(Write(driver, {1, 2, 3, 4}));
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    Bytes got(16);
    got.resize(std::max<ssize_t>(0, read(fd, got.data(), got.size())));
    close(fd);
    EXPECT_EQ(got, (Bytes{1, 2, 1, 2, 3, 4, 3, 4}));
}

TEST_F(AudioDevicePosixTest, the_pulse_audio_pipe_source_records_the_block_bit_exact)
{
    test::PulseAudio pulse;
    if (const std::string skipReason = pulse.Start(); !skipReason.empty())
        TALVIK_SKIP_MISSING() << skipReason;

    // The service usually starts before the sound server makes the FIFO.
    const std::string fifo = pulse.dir.File("talvik-mic");
    config.SetString(kProductKey, "AudioDevice", fifo);
    ASSERT_TRUE(AudioDriver::FindDevicePath(config));
    AudioDriver driver;
    ASSERT_TRUE(pulse.AddPipeSource(fifo));
    const std::string recording = pulse.dir.File("recording.raw");
    std::unique_ptr<test::HelperProcess> parec = pulse.Record(recording);
    ASSERT_TRUE(parec);

    // 1500 samples: two device writes.
    Bytes mono, stereo;
    for (int i = 0; i < 1500; ++i) {
        const auto sample = static_cast<std::uint16_t>(i * 41 - 30000);
        const std::uint8_t lo = sample & 0xFF, hi = sample >> 8;
        mono.insert(mono.end(), {lo, hi});
        stereo.insert(stereo.end(), {lo, hi, lo, hi});
    }
    ASSERT_TRUE(Write(driver, mono));
    EXPECT_TRUE(test::WaitUntil([&] { return test::ReadFile(recording).size() >= stereo.size(); }, 10s));
    parec->Stop();
    const std::string recorded = test::ReadFile(recording);
    EXPECT_NE(recorded.find(std::string(stereo.begin(), stereo.end())), std::string::npos)
        << recorded.size() << " bytes recorded";
    EXPECT_TRUE(log.Has("info: AudioDriver loaded"));
}

} // namespace
} // namespace talvik
