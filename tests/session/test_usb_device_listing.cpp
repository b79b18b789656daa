// The device listing on its own thread: a slow usbmuxd holds up the caller
// for the short wait only, its late answer is handed over exactly once, and
// no list is leaked when nobody takes it.
#include "session/usb_device_listing.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using talvik::UsbDeviceListing;
using talvik::UsbmuxdBinding;
using talvik::UsbmuxdDeviceInfo;

namespace {

// A usbmuxd whose listing answers only when the test opens the gate.
struct GatedUsbmuxd {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    int calls = 0;
    int answered = 0;
    int freed = 0;
};

GatedUsbmuxd* gated;

const UsbmuxdBinding kGatedBinding = {
    nullptr,
    nullptr,
    [](UsbmuxdDeviceInfo** list) {
        std::unique_lock<std::mutex> guard(gated->lock);
        ++gated->calls;
        gated->changed.wait(guard, [] { return gated->open; });
        *list = new UsbmuxdDeviceInfo[2]{};
        (*list)[0].handle = 4;
        ++gated->answered;
        gated->changed.notify_all();
        return 1;
    },
    [](UsbmuxdDeviceInfo** list) {
        delete[] *list;
        *list = nullptr;
        std::lock_guard<std::mutex> guard(gated->lock);
        ++gated->freed;
        gated->changed.notify_all();
        return 0;
    },
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

class UsbDeviceListingTest : public ::testing::Test {
protected:
    UsbDeviceListingTest() { gated = &usbmuxd_; }
    ~UsbDeviceListingTest() override { gated = nullptr; }

    void Open()
    {
        std::lock_guard<std::mutex> guard(usbmuxd_.lock);
        usbmuxd_.open = true;
        usbmuxd_.changed.notify_all();
    }

    void Close()
    {
        std::lock_guard<std::mutex> guard(usbmuxd_.lock);
        usbmuxd_.open = false;
    }

    template <typename Done>
    bool WaitUntil(Done done)
    {
        std::unique_lock<std::mutex> guard(usbmuxd_.lock);
        return usbmuxd_.changed.wait_for(guard, 5s, done);
    }

    GatedUsbmuxd usbmuxd_;
};

} // namespace

TEST_F(UsbDeviceListingTest, a_late_answer_is_taken_by_a_later_call_without_a_second_listing)
{
    UsbDeviceListing listing(kGatedBinding);
    EXPECT_FALSE(listing.List(20ms)) << "the caller waits only its short while";
    EXPECT_FALSE(listing.List(0ms));
    Open();
    std::optional<UsbDeviceListing::Result> result;
    ASSERT_TRUE(talvik::test::WaitUntil([&] { return (result = listing.List(0ms)).has_value(); }, 5s, 1ms));
    EXPECT_EQ(result->count, 1);
    EXPECT_EQ(result->list[0].handle, 4u);
    EXPECT_EQ(usbmuxd_.calls, 1);
    kGatedBinding.device_list_free(&result->list);

    // The next call lists afresh; an open usbmuxd answers within the wait.
    result = listing.List(5s);
    ASSERT_TRUE(result);
    EXPECT_EQ(usbmuxd_.calls, 2);
    kGatedBinding.device_list_free(&result->list);
}

TEST_F(UsbDeviceListingTest, lists_nobody_takes_are_freed)
{
    {
        UsbDeviceListing listing(kGatedBinding);
        EXPECT_FALSE(listing.List(0ms));
        ASSERT_TRUE(WaitUntil([&] { return usbmuxd_.calls == 1; }));
        // Forgotten while it runs: freed when it comes, never handed out.
        listing.Forget();
        Open();
        EXPECT_TRUE(WaitUntil([&] { return usbmuxd_.freed == 1; }));
        Close();
        EXPECT_FALSE(listing.List(0ms)) << "a fresh listing, not the forgotten one";
        ASSERT_TRUE(WaitUntil([&] { return usbmuxd_.calls == 2; }));
        Open();
        ASSERT_TRUE(WaitUntil([&] { return usbmuxd_.answered == 2; }));
    }
    // Gone with an answer in that nobody took: freed with the object.
    EXPECT_EQ(usbmuxd_.freed, 2);

    // Gone while a listing runs: the object waits for it and frees its list.
    Close();
    std::thread opener;
    {
        UsbDeviceListing listing(kGatedBinding);
        EXPECT_FALSE(listing.List(0ms));
        ASSERT_TRUE(WaitUntil([&] { return usbmuxd_.calls == 3; }));
        opener = std::thread([&] {
            // The subject: the answer comes only once the object is going.
            std::this_thread::sleep_for(50ms);
            Open();
        });
    }
    opener.join();
    EXPECT_EQ(usbmuxd_.freed, 3);
    EXPECT_EQ(usbmuxd_.calls, 3);
}
