#include "service/config.h"

#include <cstring>

namespace talvik {

std::optional<std::string> InstallDirectory(ConfigStore& store)
{
    std::optional<std::string> value = store.ReadString(kUninstallKey, kUninstallValue, kUninstallStringBytes);
    if (!value)
        return std::nullopt;
    std::size_t cut = value->rfind(kPathSeparator);
    if (cut == std::string::npos)
        return std::nullopt;
    value->resize(cut + 1);
    return value;
}

std::optional<std::string> InstallDirectory()
{
    return InstallDirectory(SystemConfigStore());
}

std::string InstallPath(ConfigStore& store, const char* fileName)
{
    std::optional<std::string> dir = InstallDirectory(store);
    return dir ? *dir + fileName : std::string(fileName);
}

int ClampLogLevel(int level)
{
    if (level < 0)
        return 0;
    if (level > 3)
        return 3;
    return level;
}

int ReadLogLevel(ConfigStore& store)
{
    return ClampLogLevel(store.ReadIniInt(InstallPath(store, kIniFileName), "logging", "loglevel", 0));
}

namespace {

std::int32_t LoadLe32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                                     std::uint32_t(p[3]) << 24);
}

void StoreLe32(std::uint8_t* p, std::int32_t value)
{
    auto v = static_cast<std::uint32_t>(value);
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

} // namespace

VideoSize ReadSetup(ConfigStore& store)
{
    std::optional<std::vector<std::uint8_t>> bytes = store.ReadBinary(kProductKey, kSetupValue);
    if (!bytes || bytes->size() != 8)
        return kFallbackVideoSize;
    VideoSize size{LoadLe32(bytes->data()), LoadLe32(bytes->data() + 4)};
    if (size.width < 640 || size.width > 1920 || size.height < 480 || size.height > 1080)
        return kFallbackVideoSize;
    return size;
}

VideoSize ReadSetup()
{
    return ReadSetup(SystemConfigStore());
}

void WriteSetup(ConfigStore& store, int width, int height)
{
    std::vector<std::uint8_t> bytes(8);
    StoreLe32(bytes.data(), width);
    StoreLe32(bytes.data() + 4, height);
    store.WriteBinary(kProductKey, kProductKeyClass, kSetupValue, bytes);
}

void WriteSetup(int width, int height)
{
    WriteSetup(SystemConfigStore(), width, height);
}

} // namespace talvik
