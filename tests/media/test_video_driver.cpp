// The camera client over a scripted device: the record cases (formats,
// sizes, disagreements), the buffer cycle with its reference count, device
// failures, the open sequence and depth mode.
#include "media/video_driver.h"

#include "tests/support/log_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <initializer_list>
#include <utility>

namespace talvik {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct DeviceScript {
    bool found = true;
    std::uint32_t openError = 0;
    FrameBufferRecord record;
    std::uint32_t getError = 0, writeError = 0, commitError = 0;
    // What the client did, one entry per call.
    std::vector<std::string> calls;
    std::vector<std::uint32_t> writeSizes;
    std::vector<FrameBufferRecord> committed;
    // A lending device, its memory (none free when empty) and row order.
    bool lends = false;
    std::vector<std::uint8_t> lendable;
    bool topDown = false;
};

class ScriptedDevice : public DeviceChannel {
public:
    explicit ScriptedDevice(DeviceScript& script) : s_(script) {}
    bool FindDevicePath() override { return s_.found; }
    std::uint32_t Open() override { return s_.openError; }
    std::uint32_t GetFrameBuffer(FrameBufferRecord& record) override
    {
        s_.calls.push_back(record == FrameBufferRecord{} ? "get" : "get with a dirty record");
        if (s_.getError == 0)
            record = s_.record;
        return s_.getError;
    }
    std::uint32_t WriteBuffered(const std::uint8_t*, std::uint32_t bytes) override
    {
        s_.calls.push_back("write");
        s_.writeSizes.push_back(bytes);
        return s_.writeError;
    }
    std::uint32_t CommitFrameBuffer(FrameBufferRecord& record) override
    {
        s_.calls.push_back("commit");
        s_.committed.push_back(record);
        return s_.commitError;
    }
    std::uint8_t* LendFrameBuffer(std::uint64_t bytes) override
    {
        if (!s_.lends)
            return nullptr;
        s_.calls.push_back("lend " + std::to_string(bytes));
        return s_.lendable.empty() ? nullptr : s_.lendable.data();
    }
    std::uint32_t CommitLentBuffer(std::uint32_t bytes, FrameBufferRecord& record) override
    {
        s_.calls.push_back("commit lent " + std::to_string(bytes));
        s_.committed.push_back(record);
        return s_.commitError;
    }
    void ReturnLentBuffer() override { s_.calls.push_back("give back"); }
    bool TopDownRows() const override { return s_.topDown; }
    void Close() override {}

private:
    DeviceScript& s_;
};

// A record with the given little-endian values at literal byte offsets;
// `bitCount` goes to offset 82 (16 bits).
FrameBufferRecord Record(std::initializer_list<std::pair<int, std::uint32_t>> words, std::uint16_t bitCount)
{
    FrameBufferRecord record;
    for (auto [offset, value] : words)
        for (int i = 0; i < 4; ++i)
            record.bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    record.bytes[82] = static_cast<std::uint8_t>(bitCount);
    record.bytes[83] = static_cast<std::uint8_t>(bitCount >> 8);
    record.bytes[0] = 0xA5; // device data travels back untouched
    record.bytes[112] = 0x5A;
    return record;
}

// ulBufferSize at 16, biWidth 72, biHeight 76, biCompression 84, biSizeImage 88.
FrameBufferRecord Record(std::uint32_t bufferSize, std::uint32_t width, std::uint32_t height, std::uint16_t bits,
                         std::uint32_t compression, std::uint32_t sizeImage)
{
    return Record({{16, bufferSize}, {72, width}, {76, height}, {84, compression}, {88, sizeImage}}, bits);
}

constexpr std::uint32_t kNv12 = 0x3231564E, kYuy2 = 0x32595559;

class VideoDriverTest : public ::testing::Test {
protected:
    VideoDriver& Opened()
    {
        driver_ = std::make_unique<VideoDriver>(std::make_unique<ScriptedDevice>(script_));
        driver_->Open();
        log_.Clear();
        return *driver_;
    }

    DeviceScript script_;
    test::LogRecorder log_;
    std::unique_ptr<VideoDriver> driver_;
};

TEST_F(VideoDriverTest, each_frame_buffer_description_gives_its_buffer_format_or_none)
{
    const std::string mismatch = "error: Warning: kernel buffer size mismatches picture size calculated by "
                                 "demensions! frame.ulBufferSize = ";
    struct Case {
        const char* name;
        FrameBufferRecord record;
        bool handedOut;
        std::uint32_t width, height;
        std::int32_t format;
        std::uint32_t commitBytes; // 0: no commit
        std::vector<std::string> log;
        std::int32_t stateAfter;
    } cases[] = {
        {"ARGB32 from its dimensions", Record(3686400, 1280, 720, 32, 0, 0), true, 1280, 720, 0, 3686400, {}, 0},
        {"NV12 from biSizeImage", Record(1382400, 1280, 720, 12, kNv12, 1382400), true, 1280, 720, 1, 1382400, {}, 0},
        {"YUY2", Record(614400, 640, 480, 16, kYuy2, 0), true, 640, 480, 2, 614400, {}, 0},
        {"32 bits with a FOURCC", Record(3686400, 1280, 720, 32, kNv12, 0), true, 1280, 720, 3, 0, {}, 0},
        {"NV12 without biSizeImage", Record(1382400, 1280, 720, 12, kNv12, 0), false, 0, 0, 0, 0,
         {mismatch + "1382400 , calculated size ulPicSz = 921600"}, 1},
        {"empty width", Record(0, 0, 720, 32, 0, 0), false, 0, 0, 0, 0, {}, 0},
        // 65536 x 16384 x 4 bytes wraps to 0 in 32 bits and would agree.
        {"size beyond 32 bits", Record(0, 65536, 16384, 32, 0, 0), false, 0, 0, 0, 0,
         {mismatch + "0 , calculated size ulPicSz = 4294967296"}, 1},
        // Agreeing sizes but a frame of 2^32 bytes: the buffer would wrap.
        {"frame beyond 32 bits", Record(64, 32768, 32768, 32, 0, 64), false, 0, 0, 0, 0,
         {mismatch + "64 , calculated size ulPicSz = 4294967296"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script_ = DeviceScript{};
        script_.record = c.record;
        VideoDriver& driver = Opened();
        std::uint32_t width = 0, height = 0;
        DriverPixelFormat format = kPixelUnsupported;
        std::uint8_t* buffer = driver.GetOutputBuffer(width, height, format);
        ASSERT_EQ(buffer != nullptr, c.handedOut);
        if (buffer) {
            EXPECT_EQ(width, c.width);
            EXPECT_EQ(height, c.height);
            EXPECT_EQ(format, c.format);
        }
        if (c.commitBytes) {
            std::memset(buffer, 0x11, c.commitBytes); // the whole picture is writable
            driver.CommitOutputBuffer(buffer, c.commitBytes);
            EXPECT_THAT(script_.calls, ElementsAre("get", "write", "commit"));
            EXPECT_THAT(script_.writeSizes, ElementsAre(c.commitBytes));
            EXPECT_THAT(script_.committed, ElementsAre(c.record));
        }
        EXPECT_EQ(log_.Lines(), c.log);
        EXPECT_EQ(driver.state(), c.stateAfter);
        if (c.stateAfter == 1) { // unusable: no further request reaches the device
            script_.calls.clear();
            EXPECT_EQ(driver.GetOutputBuffer(width, height, format), nullptr);
            EXPECT_THAT(script_.calls, IsEmpty());
        }
    }
}

TEST_F(VideoDriverTest, the_buffer_cycle_reuses_the_buffer_and_counts_references)
{
    script_.record = Record(614400, 640, 480, 16, kYuy2, 0);
    VideoDriver& driver = Opened();
    std::uint32_t w, h;
    DriverPixelFormat f;
    std::uint8_t* first = driver.GetOutputBuffer(w, h, f);
    driver.CommitOutputBuffer(first, 614400);
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), first);
    EXPECT_THAT(log_.Lines(), IsEmpty());

    // Again without a commit: the overlap shows in the log.
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), first);
    EXPECT_THAT(log_.Lines(), ElementsAre("error: Videodriver GetOutputBuffer reference count"));

    // A wrong byte count reaches no device and leaves the count raised.
    log_.Clear();
    script_.calls.clear();
    driver.CommitOutputBuffer(first, 614399);
    EXPECT_THAT(script_.calls, IsEmpty());
    EXPECT_THAT(log_.Lines(), ElementsAre("error: CommitOutputBuffer wrong buffer size 614399, expected 614400"));

    // A failed request hands out nothing and logs only a trace line.
    log_.Clear();
    script_.getError = 31;
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), nullptr);
    EXPECT_THAT(log_.Lines(), ElementsAre("trace: DeviceIoControl IOCTL_GET_FRAME_BUFFER failed: 31"));
    EXPECT_EQ(driver.state(), 0);
}

TEST_F(VideoDriverTest, device_failures_are_logged_and_lower_the_count)
{
    struct Case {
        std::uint32_t writeError, commitError;
        std::vector<std::string> calls;
        std::string line;
    } cases[] = {
        {0xFFFFFFF8, 0, {"get", "write"},
         "error: CommitOutputBuffer DeviceIoControl() IOCTL_WRITE_BUFFERED FAILED; DEVICE_NOT_RUNNING"},
        {5, 0, {"get", "write"},
         "error: CommitOutputBuffer DeviceIoControl() IOCTL_WRITE_BUFFERED FAILED; GetLastError = 5"},
        {0, 0xFFFFFFF8, {"get", "write", "commit"}, "error: CommitOutputBuffer CommitFrameBuffer FAILED; DEVICE_NOT_RUNNING"},
        {0, 6, {"get", "write", "commit"}, "error: DeviceIoControl() IOCTL_COMMIT_FRAME_BUFFER FAILED; GetLastError = 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        script_ = DeviceScript{};
        script_.record = Record(3686400, 1280, 720, 32, 0, 0);
        script_.writeError = c.writeError;
        script_.commitError = c.commitError;
        VideoDriver& driver = Opened();
        std::uint32_t w, h;
        DriverPixelFormat f;
        driver.CommitOutputBuffer(driver.GetOutputBuffer(w, h, f), 3686400);
        EXPECT_EQ(script_.calls, c.calls);
        EXPECT_THAT(log_.Lines(), ElementsAre(c.line));
        log_.Clear();
        driver.GetOutputBuffer(w, h, f); // the count is back at 0: no line
        EXPECT_THAT(log_.Lines(), IsEmpty());
    }
}

// A buffer whose picture was dropped goes back without a device call: the
// count falls (no line at the next request) and a depth block is freed.
TEST_F(VideoDriverTest, buffers_given_back_reach_no_device)
{
    script_.record = Record(614400, 640, 480, 16, kYuy2, 0);
    VideoDriver& driver = Opened();
    std::uint32_t w, h;
    DriverPixelFormat f;
    driver.ReturnOutputBuffer(driver.GetOutputBuffer(w, h, f));
    EXPECT_NE(driver.GetOutputBuffer(w, h, f), nullptr);
    EXPECT_THAT(script_.calls, ElementsAre("get", "get"));
    EXPECT_THAT(log_.Lines(), IsEmpty());

    driver.SetDepthMode(true);
    std::uint8_t* depth = driver.GetOutputBuffer(w, h, f);
    EXPECT_EQ(driver.depthBlocksOut(), 1u);
    driver.ReturnOutputBuffer(depth);
    EXPECT_EQ(driver.depthBlocksOut(), 0u);
    EXPECT_THAT(script_.calls, ElementsAre("get", "get"));
}

// A device that lends its memory gets the picture made there, committed or
// given back without a write; one that has none free gets a write.
TEST_F(VideoDriverTest, a_lending_device_gets_pictures_made_in_its_memory)
{
    script_.record = Record(3686400, 1280, 720, 32, 0, 0);
    script_.lends = true;
    script_.lendable.resize(3686400 + 64);
    script_.topDown = true;
    VideoDriver& driver = Opened();
    std::uint32_t w, h;
    DriverPixelFormat f;
    std::uint8_t* lent = driver.GetOutputBuffer(w, h, f);
    EXPECT_EQ(lent, script_.lendable.data());
    EXPECT_EQ(f, kPixelBgrx);
    driver.CommitOutputBuffer(lent, 3686400);
    driver.ReturnOutputBuffer(driver.GetOutputBuffer(w, h, f));
    EXPECT_THAT(script_.calls, ElementsAre("get", "lend 3686464", "commit lent 3686400", "get", "lend 3686464",
                                           "give back"));
    ASSERT_EQ(script_.committed.size(), 1u);
    EXPECT_EQ(script_.committed[0], script_.record);

    // A wrong byte count gives the memory back; none free: the frame buffer.
    script_.calls.clear();
    driver.CommitOutputBuffer(driver.GetOutputBuffer(w, h, f), 3686399);
    script_.lendable.clear();
    std::uint8_t* own = driver.GetOutputBuffer(w, h, f);
    driver.CommitOutputBuffer(own, 3686400);
    EXPECT_THAT(script_.calls, ElementsAre("get", "lend 3686464", "give back", "get", "lend 3686464", "write",
                                           "commit"));
    EXPECT_THAT(log_.Lines(), ElementsAre("error: CommitOutputBuffer wrong buffer size 3686399, expected 3686400"));
}

TEST_F(VideoDriverTest, the_open_logs_a_missing_device_and_its_failure_or_that_it_loaded)
{
    script_.found = false;
    script_.openError = 3;
    VideoDriver missing(std::make_unique<ScriptedDevice>(script_));
    missing.Open();
    EXPECT_THAT(log_.Lines(), ElementsAre("error: VideoDriver device path not found",
                                          "error: VideoDriver CreateFile failed: 3"));
    EXPECT_EQ(missing.state(), 1);

    log_.Clear();
    script_ = DeviceScript{};
    VideoDriver present(std::make_unique<ScriptedDevice>(script_));
    present.Open();
    EXPECT_THAT(log_.Lines(), ElementsAre("info: VideoDriver loaded"));
    EXPECT_EQ(present.state(), 0);
}

TEST_F(VideoDriverTest, depth_mode_keeps_pictures_from_the_device)
{
    script_.record = Record(3686400, 1280, 720, 32, 0, 0);
    VideoDriver& driver = Opened();
    std::uint32_t w = 0, h = 0;
    DriverPixelFormat f = kPixelUnsupported;

    // A driver-mode buffer committed after the mode changed still goes to
    // the device (and is not freed as a depth block).
    std::uint8_t* picture = driver.GetOutputBuffer(w, h, f);
    driver.SetDepthMode(true);
    driver.CommitOutputBuffer(picture, 3686400);
    EXPECT_THAT(script_.calls, ElementsAre("get", "write", "commit"));

    script_.calls.clear();
    std::uint8_t* depth = driver.GetOutputBuffer(w, h, f);
    ASSERT_NE(depth, nullptr);
    EXPECT_EQ(w, 640u);
    EXPECT_EQ(h, 480u);
    EXPECT_EQ(f, 0);
    std::memset(depth, 0x22, 2457600);
    driver.CommitOutputBuffer(depth, 1228800);

    // And a depth block committed after the mode went back never reaches it.
    depth = driver.GetOutputBuffer(w, h, f);
    driver.SetDepthMode(false);
    driver.CommitOutputBuffer(depth, 1228800);
    EXPECT_THAT(script_.calls, IsEmpty());
    EXPECT_THAT(log_.Lines(), IsEmpty());

#ifndef _WIN32
    std::ifstream section("/dev/shm/ZARSharedMemory", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(section)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 2457608u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x80\x02\x00\x00\xE0\x01\x00\x00", 8));
#endif
}

} // namespace
} // namespace talvik
