#include "media/camera_file.h"

#include "base/byte_order.h"
#include "media/pixel_format.h"

#include <cstring>
#include <thread>

namespace talvik::camera_file {

namespace {

constexpr int kReadAttempts = 1000;

} // namespace

std::vector<std::uint8_t> NewHeader()
{
    std::vector<std::uint8_t> header(kFrameOffset);
    std::memcpy(&header[kMagicOffset], kMagic, sizeof(kMagic));
    StoreU32Le(&header[kVersionOffset], kVersion);
    const FrameBufferRecord request = DescribeFormat(kDefaultWidth, kDefaultHeight, kPixelNv12);
    std::memcpy(&header[kRequestOffset], request.bytes.data(), FrameBufferRecord::kBytes);
    return header;
}

bool HasHeader(const std::uint8_t* base, std::uint64_t size)
{
    return size >= kFrameOffset && std::memcmp(base + kMagicOffset, kMagic, sizeof(kMagic)) == 0 &&
           LoadU32Le(base + kVersionOffset) == kVersion;
}

FrameBufferRecord LoadRecord(std::uint8_t* base, std::size_t offset)
{
    FrameBufferRecord record;
    for (std::size_t at = 0; at < FrameBufferRecord::kBytes; at += 4) {
        const std::uint32_t word = Word(base, offset + at).load(std::memory_order_relaxed);
        std::memcpy(&record.bytes[at], &word, 4);
    }
    return record;
}

void StoreRecord(std::uint8_t* base, std::size_t offset, const FrameBufferRecord& record)
{
    for (std::size_t at = 0; at < FrameBufferRecord::kBytes; at += 4) {
        std::uint32_t word;
        std::memcpy(&word, &record.bytes[at], 4);
        Word(base, offset + at).store(word, std::memory_order_relaxed);
    }
}

bool ReadRequest(std::uint8_t* base, FrameBufferRecord& request)
{
    auto sequence = Word(base, kRequestSequenceOffset);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const std::uint32_t before = sequence.load(std::memory_order_acquire);
        if (before % 2 == 0) {
            FrameBufferRecord copy = LoadRecord(base, kRequestOffset);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (sequence.load(std::memory_order_relaxed) == before) {
                request = copy;
                return true;
            }
        }
        std::this_thread::yield();
    }
    return false;
}

void WriteRequest(std::uint8_t* base, const FrameBufferRecord& request)
{
    auto sequence = Word(base, kRequestSequenceOffset);
    const std::uint32_t even = sequence.load(std::memory_order_relaxed) & ~1u;
    sequence.store(even + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    StoreRecord(base, kRequestOffset, request);
    sequence.store(even + 2, std::memory_order_release);
}

} // namespace talvik::camera_file
