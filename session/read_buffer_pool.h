// Recycled read buffers for the TCP side of the session.
//
// libuv asks for a buffer before every read; streaming video would allocate
// and free 64 kB per read. The pool keeps up to 100 buffers of 64,000 bytes
// and hands them out again, lowest slot first, so that steady streaming
// allocates nothing.
//
// Every buffer handed out is preceded by a prefix that tells Release() how
// to give it back:
//
//   +----------------+----------------+---------------------------+
//   | pooled (u32)   | size (u32)     | data: size bytes          |
//   +----------------+----------------+---------------------------+
//   ^ allocation                      ^ pointer handed to libuv
//
// Rules for Acquire(suggested):
//   suggested > 8,000:  the first slot holding a free buffer (the slot is
//                       emptied), else a new 64,000-byte pool buffer while
//                       fewer than 100 exist; granted size at most 64,000.
//                       With 100 out and none free: a plain 8,000-byte buffer.
//   suggested <= 8,000: a plain buffer of exactly `suggested` bytes.
// Release() puts a pool buffer into the first empty slot and frees a plain
// one. Not thread-safe: used only on the loop thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace talvik {

class ReadBufferPool {
public:
    static constexpr std::size_t kSlots = 100;
    static constexpr std::size_t kBufferBytes = 64000;
    static constexpr std::size_t kPlainThreshold = 8000;

    ReadBufferPool() = default;
    ~ReadBufferPool();
    ReadBufferPool(const ReadBufferPool&) = delete;
    ReadBufferPool& operator=(const ReadBufferPool&) = delete;

    // A buffer for a read of about `suggested` bytes; its usable size goes to
    // `granted`. Null only when memory runs out.
    char* Acquire(std::size_t suggested, std::size_t* granted);

    // Gives back a buffer from Acquire(); null is ignored.
    void Release(char* data);

    // Pool buffers created so far (0..100).
    std::size_t created() const { return created_; }
    // Slot index of `data` if it is a free pool buffer in a slot, else -1
    // (lets tests see which slot a buffer went back to).
    int SlotOf(const char* data) const;

private:
    std::array<char*, kSlots> slots_{};
    std::size_t created_ = 0;
};

} // namespace talvik
