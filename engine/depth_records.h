// The depth records that travel with the phone's depth-carrying video
// packets through the decoder, as the packets' user data. Nothing reads a
// record downstream; it only has to stay allocated until its picture comes
// back, and must not outlive that.
//
// A picture the decoder drops (no camera buffer, a broken packet) never
// comes back, so the number of records waiting is bounded: adding one more
// than kMaxWaiting frees the oldest, whose picture is long overdue. A
// record freed early is harmless, as nobody reads it; its late picture
// simply finds nothing to free.
//
// Add runs on the connection manager's thread, Release on whichever thread
// delivers the picture; one lock keeps the list whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace talvik {

// The depth data pointer is the session's, valid only during the call that
// brought it; it is kept as the phone's message gave it and never followed.
struct DepthRecord {
    const std::uint8_t* data = nullptr;
    std::uint32_t bytes = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
};

class DepthRecords {
public:
    // More than the decoder ever holds back (16 reference pictures plus
    // reordering).
    static constexpr std::size_t kMaxWaiting = 32;

    // Keeps a copy of `record`; its address, the packet's user data.
    std::uintptr_t Add(const DepthRecord& record);
    // The picture of `userData` was delivered: frees its record, if still
    // kept.
    void Release(std::uintptr_t userData);
    // Frees every record (the decoder is gone).
    void Clear();
    std::size_t waiting() const;

private:
    mutable std::mutex lock_;
    std::deque<std::unique_ptr<DepthRecord>> records_;
};

} // namespace talvik
