// The camera file: a file that plays the camera device's part, shared by
// memory mapping between the service (which writes pictures into it) and
// camera consumers (which say what they want and read the pictures).
// docs/file-camera.md describes it for writers of consumers.
//
// Layout (little-endian, offsets in bytes):
//
//      0    8  magic "TLVKCAM\0"
//      8    4  version, 1
//     12    4  reserved, 0
//     16    4  request sequence: odd while a consumer rewrites the request
//     20    4  commit sequence: odd while the service writes a picture, even
//              when the frame area holds a whole one; counts up by 2 per
//              picture. Waiters sleep on this word (futex on Linux).
//     24    8  commit time: microseconds on the service's monotonic clock
//     32    4  committed bytes: size of the picture in the frame area
//     36   28  reserved, 0
//     64  116  request: the FrameBufferRecord the consumer wants
//    180   12  reserved, 0
//    192  116  committed record: the request the picture was made for
//    308       reserved, 0, up to 4096
//   4096       frame area, to the end of the file
//
// A consumer that asks for a bigger picture grows the file first; the file
// never shrinks.
//
// The two sequence words are seqlocks: a writer makes its word odd, changes
// the bytes it guards, then makes it even again; a reader copies the bytes
// between two reads of the word and keeps the copy only when both reads gave
// the same even value. The request sequence guards the request; the commit
// sequence guards the commit time, committed bytes, committed record and the
// frame area.
#pragma once

#include "media/frame_buffer_record.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvik::camera_file {

inline constexpr char kMagic[8] = {'T', 'L', 'V', 'K', 'C', 'A', 'M', '\0'};
inline constexpr std::uint32_t kVersion = 1;

inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kVersionOffset = 8;
inline constexpr std::size_t kRequestSequenceOffset = 16;
inline constexpr std::size_t kCommitSequenceOffset = 20;
inline constexpr std::size_t kCommitTimeOffset = 24;
inline constexpr std::size_t kCommittedBytesOffset = 32;
inline constexpr std::size_t kRequestOffset = 64;
inline constexpr std::size_t kCommittedRecordOffset = 192;
inline constexpr std::size_t kFrameOffset = 4096;

// Initial frame area: 1280 x 720 NV12.
inline constexpr std::uint32_t kDefaultWidth = 1280;
inline constexpr std::uint32_t kDefaultHeight = 720;

// The sequence words are used in place, so the host order must be the
// file's.
static_assert(std::endian::native == std::endian::little);

inline std::atomic_ref<std::uint32_t> Word(std::uint8_t* base, std::size_t offset)
{
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + offset));
}

// A new file's header (kFrameOffset bytes): magic, version and a request
// for kDefaultWidth x kDefaultHeight NV12.
std::vector<std::uint8_t> NewHeader();

// True when `size` bytes at `base` start with a header of this version.
bool HasHeader(const std::uint8_t* base, std::uint64_t size);

// The 116-byte record at `offset`, word by word, for use inside a seqlock.
FrameBufferRecord LoadRecord(std::uint8_t* base, std::size_t offset);
void StoreRecord(std::uint8_t* base, std::size_t offset, const FrameBufferRecord& record);

// The consumer's request as one consistent copy; false when a writer held
// the request sequence odd through every attempt.
bool ReadRequest(std::uint8_t* base, FrameBufferRecord& request);

// Replaces the request (consumer side).
void WriteRequest(std::uint8_t* base, const FrameBufferRecord& request);

} // namespace talvik::camera_file
