// Read-buffer recycling: pool limits, plain fallbacks and slot reuse order.
#include "session/read_buffer_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using talvik::ReadBufferPool;

TEST(read_buffer_pool, small_requests_get_plain_buffers_of_their_size)
{
    ReadBufferPool pool;
    std::size_t granted = 0;
    char* buffer = pool.Acquire(8000, &granted);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(granted, 8000u);
    std::memset(buffer, 0xab, granted); // the whole grant is writable (ASan checks)
    pool.Release(buffer);
    EXPECT_EQ(pool.created(), 0u);
    EXPECT_EQ(pool.SlotOf(buffer), -1) << "plain buffers are freed, not pooled";
}

TEST(read_buffer_pool, exhaustion_falls_back_and_reuse_is_lowest_slot_first)
{
    ReadBufferPool pool;
    std::vector<char*> out;
    std::size_t granted = 0;
    for (int i = 0; i < 100; ++i) {
        out.push_back(pool.Acquire(65536, &granted));
        ASSERT_NE(out.back(), nullptr);
        EXPECT_EQ(granted, 64000u);
    }
    EXPECT_EQ(pool.created(), 100u);

    char* plain = pool.Acquire(65536, &granted);
    EXPECT_EQ(granted, 8000u) << "with 100 in use the read gets a plain 8,000-byte buffer";
    std::memset(plain, 0, granted);
    pool.Release(plain);
    EXPECT_EQ(pool.created(), 100u);

    // Give back three; they fill slots 0, 1, 2 in the order returned.
    pool.Release(out[70]);
    pool.Release(out[5]);
    pool.Release(out[42]);
    EXPECT_EQ(pool.SlotOf(out[70]), 0);
    EXPECT_EQ(pool.SlotOf(out[5]), 1);
    EXPECT_EQ(pool.SlotOf(out[42]), 2);

    EXPECT_EQ(pool.Acquire(65536, &granted), out[70]) << "lowest slot first";
    EXPECT_EQ(pool.Acquire(20000, &granted), out[5]);
    EXPECT_EQ(granted, 20000u) << "a smaller request is granted what it asked for";
    EXPECT_EQ(pool.created(), 100u) << "steady use creates nothing new";

    for (char* buffer : out)
        if (buffer != out[42])
            pool.Release(buffer);
    // out[42] is still in slot 2; the destructor frees every pooled buffer
    // (LeakSanitizer checks).
}
