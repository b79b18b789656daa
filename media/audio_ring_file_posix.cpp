#include "media/audio_ring_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace talvik {

namespace {

constexpr std::size_t kHeaderBytes = 64;
constexpr std::uint32_t kRingBytes = 262144;
constexpr std::size_t kFileBytes = kHeaderBytes + kRingBytes;
constexpr std::size_t kPositionOffset = 24;
// Every field of the header before the write position, as it must read.
constexpr std::uint8_t kFixedHeader[kPositionOffset] = {
    'T', 'L', 'V', 'K', 'A', 'U', 'D', 'R', // magic
    1, 0, 0, 0,                             // version
    0x44, 0xAC, 0, 0,                       // 44100 Hz
    2, 0,                                   // channels
    16, 0,                                  // bits per sample
    0, 0, 4, 0,                             // ring bytes
};

class RingFile : public AudioDevice {
public:
    explicit RingFile(std::uint8_t* map) : map_(map) {}
    ~RingFile() override { munmap(map_, kFileBytes); }

    AudioDeviceWrite Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t&) override
    {
        std::atomic_ref<std::uint64_t> position(*Position());
        const std::uint64_t start = position.load(std::memory_order_relaxed);
        const std::size_t at = start % kRingBytes;
        const std::size_t first = std::min<std::size_t>(bytes, kRingBytes - at);
        std::memcpy(map_ + kHeaderBytes + at, frames, first);
        std::memcpy(map_ + kHeaderBytes, frames + first, bytes - first);
        position.store(start + bytes, std::memory_order_release);
        return AudioDeviceWrite::kWritten;
    }

    std::string Describe() const override
    {
        return "a ring file that keeps the last moments of sound; for a real microphone, set AudioDevice (README: "
               "\"The microphone on Linux\")";
    }

private:
    std::uint64_t* Position() { return reinterpret_cast<std::uint64_t*>(map_ + kPositionOffset); }

    std::uint8_t* map_;
};

} // namespace

OpenedAudioDevice OpenAudioRingFile(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        return {nullptr, static_cast<std::uint32_t>(error)};
    }
    const bool fresh = info.st_size == 0;
    // Only an empty file or a ring file of this layout is ours to write.
    if (!fresh && static_cast<std::size_t>(info.st_size) != kFileBytes) {
        close(fd);
        return {nullptr, EINVAL};
    }
    if (fresh && ftruncate(fd, kFileBytes) != 0) {
        const int error = errno;
        close(fd);
        return {nullptr, static_cast<std::uint32_t>(error)};
    }
    void* map = mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int mapError = errno;
    close(fd);
    if (map == MAP_FAILED)
        return {nullptr, static_cast<std::uint32_t>(mapError)};
    auto* bytes = static_cast<std::uint8_t*>(map);
    if (fresh) {
        std::memcpy(bytes, kFixedHeader, sizeof(kFixedHeader));
    } else if (std::memcmp(bytes, kFixedHeader, sizeof(kFixedHeader)) != 0) {
        munmap(map, kFileBytes);
        return {nullptr, EINVAL};
    }
    return {std::make_unique<RingFile>(bytes), 0};
}

} // namespace talvik
