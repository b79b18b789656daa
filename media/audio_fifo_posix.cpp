#include "media/audio_fifo.h"

#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>

namespace talvik {

namespace {

// Blocks up to PIPE_BUF go into a pipe whole or not at all, so a reader
// never sees half a frame.
static_assert(kAudioDeviceWriteBytes <= PIPE_BUF);

class AudioFifo : public AudioDevice {
public:
    std::string Describe() const override
    {
        return "the sound server's pipe " + path_ + " (record from \"talvik_mic\" when it was made that way)";
    }

    explicit AudioFifo(std::string path) : path_(std::move(path)) { Attach(); }
    ~AudioFifo() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    AudioDeviceWrite Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t& error) override
    {
        int result = fd_ >= 0 ? Put(frames, bytes) : EAGAIN;
        if (result == EAGAIN && Attach())
            result = Put(frames, bytes);
        if (result == 0)
            return AudioDeviceWrite::kWritten;
        if (result != EAGAIN) {
            error = static_cast<std::uint32_t>(result);
            return AudioDeviceWrite::kFailed;
        }
        ++dropped_;
        if (std::has_single_bit(dropped_))
            spdlog::warn("AudioDriver pipe full or missing: {0} blocks dropped", dropped_);
        return AudioDeviceWrite::kDropped;
    }

private:
    // 0 when written, else the error.
    int Put(const std::uint8_t* frames, std::size_t bytes)
    {
        while (write(fd_, frames, bytes) < 0) {
            if (errno != EINTR)
                return errno;
        }
        return 0;
    }

    // Takes the FIFO at the path when it is not the one held; true when a
    // new one was taken.
    bool Attach()
    {
        struct stat found {};
        if (stat(path_.c_str(), &found) != 0 || !S_ISFIFO(found.st_mode) || (fd_ >= 0 && SameFile(found)))
            return false;
        const int fd = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        // The path may have changed again in between.
        if (fstat(fd, &found) != 0 || !S_ISFIFO(found.st_mode)) {
            close(fd);
            return false;
        }
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
        held_ = found;
        return true;
    }

    bool SameFile(const struct stat& other) const
    {
        return other.st_dev == held_.st_dev && other.st_ino == held_.st_ino;
    }

    std::string path_;
    int fd_ = -1;
    struct stat held_ {};
    std::uint64_t dropped_ = 0;
};

} // namespace

std::unique_ptr<AudioDevice> MakeAudioFifo(std::string path)
{
    return std::make_unique<AudioFifo>(std::move(path));
}

} // namespace talvik
