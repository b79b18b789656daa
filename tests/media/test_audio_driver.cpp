// The audio client over a recording device: stereo duplication, the split
// of long blocks into 4096-byte writes, device failures, a failed open.
#include "media/audio_driver.h"

#include "tests/media/audio_test_fixture.h"

namespace talvik {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct DeviceLog {
    std::vector<Bytes> writes;
    // The write (counting from 0) that fails with `failCode`, or -1.
    int failAt = -1;
    std::uint32_t failCode = 0;
};

class RecordingDevice : public AudioDevice {
public:
    explicit RecordingDevice(DeviceLog& log) : log_(log) {}
    AudioDeviceWrite Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t& error) override
    {
        if (static_cast<int>(log_.writes.size()) == log_.failAt) {
            error = log_.failCode;
            return AudioDeviceWrite::kFailed;
        }
        log_.writes.emplace_back(frames, frames + bytes);
        return AudioDeviceWrite::kWritten;
    }

private:
    DeviceLog& log_;
};

using AudioDriverTest = test::AudioTest;

// `count` bytes of mono samples 0, 1, 2, ... (little-endian), the last one
// cut in half when `count` is odd.
Bytes Ramp(std::size_t count)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 2 == 0 ? (i / 2) & 0xFF : (i / 2) >> 8);
    return bytes;
}

TEST_F(AudioDriverTest, each_sample_is_written_twice_in_writes_of_at_most_1024_frames)
{
    struct Case {
        const char* name;
        std::size_t inputBytes;
        int failAt;
        bool written;
        std::vector<std::size_t> writeSizes;
        Bytes firstHead; // the first write's first bytes
        Bytes lastTail;  // the last write's last bytes
    } cases[] = {
        {"odd byte count", 7, -1, true, {12}, {0, 0, 0, 0, 1, 0, 1, 0}, {1, 0, 1, 0, 2, 0, 2, 0}},
        {"empty block", 0, -1, true, {0}, {}, {}},
        {"1024 samples", 2048, -1, true, {4096}, {0, 0, 0, 0, 1, 0, 1, 0}, {0xFE, 3, 0xFE, 3, 0xFF, 3, 0xFF, 3}},
        {"1025 samples", 2050, -1, true, {4096, 4}, {0, 0, 0, 0, 1, 0, 1, 0}, {0, 4, 0, 4}},
        {"2050 samples", 4100, -1, true, {4096, 4096, 8}, {0, 0, 0, 0, 1, 0, 1, 0}, {0, 8, 0, 8, 1, 8, 1, 8}},
        {"second part fails", 4100, 1, false, {4096}, {0, 0, 0, 0, 1, 0, 1, 0}, {0xFE, 3, 0xFE, 3, 0xFF, 3, 0xFF, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceLog device{{}, c.failAt, 31};
        {
            AudioDriver driver({std::make_unique<RecordingDevice>(device), 0});
            const Bytes input = Ramp(c.inputBytes);
            EXPECT_EQ(driver.Write(input.data(), static_cast<std::uint32_t>(input.size())), c.written);
        }
        std::vector<std::size_t> sizes;
        for (const Bytes& w : device.writes)
            sizes.push_back(w.size());
        ASSERT_EQ(sizes, c.writeSizes);
        const Bytes& first = device.writes.front();
        const Bytes& last = device.writes.back();
        EXPECT_EQ(Bytes(first.begin(), first.begin() + c.firstHead.size()), c.firstHead);
        EXPECT_EQ(Bytes(last.end() - c.lastTail.size(), last.end()), c.lastTail);
        EXPECT_EQ(log.Has("error: AudioDriver DeviceIoControl failed: 31"), !c.written);
    }
    EXPECT_EQ(log.Count("info: AudioDriver loaded"), 6);
}

TEST_F(AudioDriverTest, a_failed_open_is_logged_once_and_every_block_is_refused_quietly)
{
    AudioDriver driver({nullptr, 2});
    const Bytes block = Ramp(8);
    EXPECT_FALSE(driver.Write(block.data(), 8));
    EXPECT_FALSE(driver.Write(block.data(), 8));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"error: AudioDriver CreateFile failed: 2"});
}

} // namespace
} // namespace talvik
