// Configuration store: the platform's home for the few values the service
// reads and writes.
//
// Windows: the registry under HKEY_LOCAL_MACHINE, and the private-profile
// (ini) lookup. Linux: a human-editable file that mirrors the same keys and
// values (see config_store_posix.cpp for its format), and an ini reader.
//
// Keys are given as registry paths below the machine root, with backslashes
// ("Software\\Talvik\\Vidrelo") on every platform, so that callers name each
// value one way only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvik {

class ConfigStore {
public:
    virtual ~ConfigStore() = default;

    // Reads a text value into a buffer of `bufferBytes` bytes (terminator
    // included). A missing key or value, or one that does not fit, is
    // nothing. The value's type is not checked: whatever bytes it holds are
    // returned up to the first NUL.
    virtual std::optional<std::string> ReadString(const std::string& key, const std::string& name,
                                                  std::size_t bufferBytes) = 0;

    // Reads a binary value; nothing when the key or value is missing.
    virtual std::optional<std::vector<std::uint8_t>> ReadBinary(const std::string& key,
                                                                const std::string& name) = 0;

    // Opens `key`, creating it with the class string `keyClass` when it does
    // not exist, and writes `bytes` as a binary value. False on any failure.
    virtual bool WriteBinary(const std::string& key, const std::string& keyClass, const std::string& name,
                             const std::vector<std::uint8_t>& bytes) = 0;

    // Private-profile integer lookup: the leading decimal integer of
    // `key` in `section` of the ini file `path`; `fallback` when the file,
    // section or key is missing; 0 when the value does not start with a
    // number.
    virtual int ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                           int fallback) = 0;
};

// The process's store on this platform. Lives for the whole process.
ConfigStore& SystemConfigStore();

} // namespace talvik
