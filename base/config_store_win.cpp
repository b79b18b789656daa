// Registry and private-profile backend of the configuration store.
#include "base/config.h"
#include "base/config_store.h"

#include <windows.h>

namespace talvik {

namespace {

class RegistryConfigStore final : public ConfigStore {
public:
    std::optional<std::string> ReadString(const std::string& key, const std::string& name,
                                          std::size_t bufferBytes) override
    {
        HKEY hkey;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hkey) != ERROR_SUCCESS)
            return std::nullopt;
        std::string buffer(bufferBytes, '\0');
        DWORD size = static_cast<DWORD>(bufferBytes);
        LONG rc = RegQueryValueExA(hkey, name.c_str(), nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer.data()), &size);
        RegCloseKey(hkey);
        if (rc != ERROR_SUCCESS)
            return std::nullopt;
        // A value stored without its terminator fills the buffer exactly;
        // never read past what was written.
        buffer.resize(size);
        buffer.resize(buffer.find('\0') == std::string::npos ? buffer.size() : buffer.find('\0'));
        return buffer;
    }

    std::optional<std::vector<std::uint8_t>> ReadBinary(const std::string& key, const std::string& name) override
    {
        HKEY hkey;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hkey) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD size = 0;
        std::optional<std::vector<std::uint8_t>> result;
        if (RegQueryValueExA(hkey, name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<std::uint8_t> bytes(size);
            if (RegQueryValueExA(hkey, name.c_str(), nullptr, nullptr, bytes.data(), &size) == ERROR_SUCCESS) {
                bytes.resize(size);
                result = std::move(bytes);
            }
        }
        RegCloseKey(hkey);
        return result;
    }

    bool WriteBinary(const std::string& key, const std::string& keyClass, const std::string& name,
                     const std::vector<std::uint8_t>& bytes) override
    {
        HKEY hkey;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, const_cast<char*>(keyClass.c_str()),
                            REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &hkey, nullptr) != ERROR_SUCCESS)
            return false;
        LONG rc = RegSetValueExA(hkey, name.c_str(), 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
        RegCloseKey(hkey);
        return rc == ERROR_SUCCESS;
    }

    int ReadIniInt(const std::string& path, const std::string& section, const std::string& key, int fallback) override
    {
        return static_cast<int>(GetPrivateProfileIntA(section.c_str(), key.c_str(), fallback, path.c_str()));
    }
};

} // namespace

std::string FallbackDirectory(InstallFile)
{
    return {};
}

ConfigStore& SystemConfigStore()
{
    static RegistryConfigStore store;
    return store;
}

} // namespace talvik
