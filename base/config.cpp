#include "base/config.h"

#include "base/byte_order.h"
#include "base/phone_link.h"

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

std::uint16_t PhonePort([[maybe_unused]] ConfigStore& store)
{
#ifdef _WIN32
    return kPhonePort;
#else
    std::optional<std::string> text = store.ReadString(kProductKey, kPortValue, 16);
    if (!text || text->empty() || text->size() > 5 || text->find_first_not_of("0123456789") != std::string::npos)
        return kPhonePort;
    const int port = std::stoi(*text);
    return port >= 1 && port <= 65535 ? static_cast<std::uint16_t>(port) : kPhonePort;
#endif
}

VideoSize ReadSetup(ConfigStore& store)
{
    std::optional<std::vector<std::uint8_t>> bytes = store.ReadBinary(kProductKey, kSetupValue);
    if (!bytes || bytes->size() != 8)
        return kFallbackVideoSize;
    VideoSize size{static_cast<std::int32_t>(LoadU32Le(bytes->data())),
                   static_cast<std::int32_t>(LoadU32Le(bytes->data() + 4))};
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
    StoreU32Le(bytes.data(), static_cast<std::uint32_t>(width));
    StoreU32Le(bytes.data() + 4, static_cast<std::uint32_t>(height));
    store.WriteBinary(kProductKey, kProductKeyClass, kSetupValue, bytes);
}

void WriteSetup(int width, int height)
{
    WriteSetup(SystemConfigStore(), width, height);
}

} // namespace talvik
