#include "media/audio_device.h"

#include "base/config.h"
#include "media/audio_fifo.h"
#include "media/audio_ring_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace talvik {

namespace {

constexpr std::size_t kDevicePathBytes = 256;

struct DeviceLocation {
    std::string path;
    bool configured = false;
};

DeviceLocation& Location()
{
    static DeviceLocation location;
    return location;
}

} // namespace

bool FindAudioDevicePath(ConfigStore& config)
{
    DeviceLocation& location = Location();
    location = {};
    if (std::optional<std::string> configured = config.ReadString(kProductKey, kAudioDeviceValue, kDevicePathBytes)) {
        location = {*configured, true};
        return !location.path.empty();
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0')
        return false;
    const std::string directory = std::string(runtime) + "/talvik";
    const std::string file = directory + "/audio";
    if (file.size() + 1 > kDevicePathBytes)
        return false;
    location.path = file;
    // The open reports a directory that cannot be made.
    return mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST;
}

OpenedAudioDevice OpenAudioDevice()
{
    const DeviceLocation& location = Location();
    if (location.path.empty())
        return {nullptr, ENOENT};
    const char* path = location.path.c_str();
    struct stat info {};
    const bool exists = stat(path, &info) == 0;
    if (!exists && errno != ENOENT)
        return {nullptr, static_cast<std::uint32_t>(errno)};
    // A configured path that does not exist yet is a FIFO the sound server
    // has still to make.
    if (exists ? S_ISFIFO(info.st_mode) : location.configured)
        return {MakeAudioFifo(location.path), 0};
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return {nullptr, static_cast<std::uint32_t>(errno)};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return {nullptr, ENODEV};
    }
    return OpenAudioRingFile(fd);
}

} // namespace talvik
