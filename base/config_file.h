// The Linux stand-in for the registry: one text file, "talvik.conf", in the
// configuration directory ($TALVIK_CONFIG_DIR, else $XDG_CONFIG_HOME/talvik,
// else ~/.config/talvik). The plain section "[talvik]" holds the product's
// own values, as a person writes them:
//
//   [talvik]
//   camera = pipewire
//   loglevel = 2
//   Setup = hex:00,05,00,00,d0,02,00,00
//
// Any other section is a registry key path and its entries the key's values;
// "[Software\Talvik\Vidrelo]" is the product's key again, so files written in
// that form keep working. Binary values are written as in a registry export:
//
//   [Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers]
//   UninstallString=/opt/talvik/uninstall.sh
//
// Where a value appears more than once, the last one counts. A value the
// service writes replaces every copy; a new one goes to the last section
// that holds its key, else to a new section, "[talvik]" for the product's. Section and value names match without regard to case, as in
// the registry. Lines starting with '#' or ';' are comments and are kept on
// rewrite.
#pragma once

#include "base/config_store.h"

namespace talvik {

// The plain section of the product's values.
inline constexpr const char* kPlainSection = "talvik";

std::string ConfigDirectory();

class ConfigFileStore final : public ConfigStore {
public:
    explicit ConfigFileStore(std::string path);

    const std::string& path() const { return path_; }

    std::optional<std::string> ReadString(const std::string& key, const std::string& name,
                                          std::size_t bufferBytes) override;
    std::optional<std::vector<std::uint8_t>> ReadBinary(const std::string& key, const std::string& name) override;
    bool WriteBinary(const std::string& key, const std::string& keyClass, const std::string& name,
                     const std::vector<std::uint8_t>& bytes) override;
    int ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                   int fallback) override;

private:
    std::optional<std::string> ReadRaw(const std::string& key, const std::string& name);

    std::string path_;
};

} // namespace talvik
