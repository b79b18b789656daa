// In-memory configuration store. Registry-like values live in a map; ini
// lookups go to the platform's real reader, so that tests exercise the real
// "Vidrelo.ini" parsing with files they write themselves.
#pragma once

#include "base/config_store.h"

#include <map>
#include <utility>

namespace talvik::test {

class FakeConfigStore : public ConfigStore {
public:
    void SetString(const std::string& key, const std::string& name, const std::string& value);

    std::optional<std::string> ReadString(const std::string& key, const std::string& name,
                                          std::size_t bufferBytes) override;
    std::optional<std::vector<std::uint8_t>> ReadBinary(const std::string& key, const std::string& name) override;
    bool WriteBinary(const std::string& key, const std::string& keyClass, const std::string& name,
                     const std::vector<std::uint8_t>& bytes) override;
    int ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                   int fallback) override;

    // Every key created by WriteBinary, with the class it was created with.
    std::map<std::string, std::string> keyClasses;
    bool failWrites = false;

private:
    std::map<std::pair<std::string, std::string>, std::vector<std::uint8_t>> values_;
};

} // namespace talvik::test
