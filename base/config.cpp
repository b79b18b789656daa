#include "base/config.h"

#include "base/byte_order.h"
#include "base/phone_link.h"

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include <spdlog/spdlog.h>

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

std::string InstallPath(ConfigStore& store, const char* fileName, InstallFile kind)
{
    std::optional<std::string> dir = InstallDirectory(store);
    return (dir ? *dir : FallbackDirectory(kind)) + fileName;
}

std::optional<std::string> ProgramDirectory(ConfigStore& store)
{
    if (std::optional<std::string> dir = InstallDirectory(store))
        return dir;
    std::string fallback = FallbackDirectory(InstallFile::kProgram);
    return fallback.empty() ? std::nullopt : std::optional<std::string>(std::move(fallback));
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
#ifndef _WIN32
    if (std::optional<std::string> text = store.ReadString(kProductKey, kLogLevelValue, 16); text && !text->empty())
        return static_cast<int>(std::clamp(std::strtol(text->c_str(), nullptr, 10), 0L, 3L));
#endif
    return ClampLogLevel(
        store.ReadIniInt(InstallPath(store, kIniFileName, InstallFile::kSettings), "logging", "loglevel", 0));
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

std::size_t ReadChoice(ConfigStore& store, const char* valueName, std::initializer_list<const char*> names)
{
    constexpr std::size_t kChoiceBytes = 16;
    const std::string value = store.ReadString(kProductKey, valueName, kChoiceBytes).value_or("");
    if (value.empty())
        return 0;
    std::size_t index = 0;
    std::string listed;
    for (const char* name : names) {
        const bool same = std::equal(value.begin(), value.end(), name, name + std::strlen(name), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
        if (same)
            return index;
        listed += index == 0 ? "" : index + 1 == names.size() ? " and " : ", ";
        listed += name;
        ++index;
    }
    spdlog::error("{0} '{1}' is none of {2}: {3} is used", valueName, value, listed, *names.begin());
    return 0;
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
