#include "media/audio_device.h"

#include "base/config.h"
#include "base/runtime_directory_posix.h"
#include "media/audio_fifo.h"
#include "media/audio_ring_file.h"
#include "media/pipewire_microphone_linux.h"

#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace talvik {

namespace {

constexpr std::size_t kDevicePathBytes = 256;

// In the order of the names ReadMicrophoneChoice reads.
enum class MicrophoneChoice { kAuto, kPipeWire, kFifo, kFile };

struct DeviceLocation {
    MicrophoneChoice choice = MicrophoneChoice::kAuto;
    std::string path;
    bool configured = false;
};

DeviceLocation& Location()
{
    static DeviceLocation location;
    return location;
}

MicrophoneChoice ReadMicrophoneChoice(ConfigStore& config)
{
    return static_cast<MicrophoneChoice>(ReadChoice(config, kMicrophoneValue, {"auto", "pipewire", "fifo", "file"}));
}

} // namespace

bool FindAudioDevicePath(ConfigStore& config)
{
    DeviceLocation& location = Location();
    location = {};
    location.choice = ReadMicrophoneChoice(config);
    if (std::optional<std::string> configured = config.ReadString(kProductKey, kAudioDeviceValue, kDevicePathBytes)) {
        location.path = *configured;
        location.configured = true;
        return !location.path.empty();
    }
    const std::string directory = ProductRuntimeDirectory();
    const std::string file = directory + "/audio";
    if (directory.empty() || file.size() + 1 > kDevicePathBytes)
        return false;
    location.path = file;
    return true;
}

OpenedAudioDevice OpenAudioDevice()
{
    const DeviceLocation& location = Location();
    if (location.choice == MicrophoneChoice::kPipeWire || location.choice == MicrophoneChoice::kAuto) {
        OpenedAudioDevice microphone = OpenPipeWireMicrophone();
        if (microphone.device || location.choice == MicrophoneChoice::kPipeWire)
            return microphone;
    }
    // A FIFO is only where the sound server was told to make it.
    if (location.path.empty() || (location.choice == MicrophoneChoice::kFifo && !location.configured))
        return {nullptr, ENOENT};
    if (location.choice == MicrophoneChoice::kFifo)
        return {MakeAudioFifo(location.path), 0};
    const char* path = location.path.c_str();
    struct stat info {};
    const bool exists = stat(path, &info) == 0;
    if (!exists && errno != ENOENT)
        return {nullptr, static_cast<std::uint32_t>(errno)};
    // A configured path that does not exist yet is a FIFO the sound server
    // has still to make.
    if (location.choice != MicrophoneChoice::kFile && (exists ? S_ISFIFO(info.st_mode) : location.configured))
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
