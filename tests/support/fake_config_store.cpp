#include "tests/support/fake_config_store.h"

namespace talvik::test {

void FakeConfigStore::SetString(const std::string& key, const std::string& name, const std::string& value)
{
    values_[{key, name}] = std::vector<std::uint8_t>(value.begin(), value.end());
}

std::optional<std::string> FakeConfigStore::ReadString(const std::string& key, const std::string& name,
                                                       std::size_t bufferBytes)
{
    auto it = values_.find({key, name});
    if (it == values_.end() || it->second.size() + 1 > bufferBytes)
        return std::nullopt;
    return std::string(it->second.begin(), it->second.end());
}

std::optional<std::vector<std::uint8_t>> FakeConfigStore::ReadBinary(const std::string& key, const std::string& name)
{
    auto it = values_.find({key, name});
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

bool FakeConfigStore::WriteBinary(const std::string& key, const std::string& keyClass, const std::string& name,
                                  const std::vector<std::uint8_t>& bytes)
{
    if (failWrites)
        return false;
    keyClasses.emplace(key, keyClass);
    values_[{key, name}] = bytes;
    return true;
}

int FakeConfigStore::ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                                int fallback)
{
    return SystemConfigStore().ReadIniInt(path, section, key, fallback);
}

} // namespace talvik::test
