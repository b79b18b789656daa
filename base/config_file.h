// The Linux stand-in for the registry: one text file, "talvik.conf", in the
// configuration directory ($TALVIK_CONFIG_DIR, else $XDG_CONFIG_HOME/talvik,
// else ~/.config/talvik). Its sections are the registry key paths, its
// entries the values; binary values are written as in a registry export:
//
//   # Talvik settings
//   [Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers]
//   UninstallString=/opt/talvik/uninstall.sh
//
//   [Software\Talvik\Vidrelo]
//   Setup=hex:00,05,00,00,d0,02,00,00
//
// Section and value names match without regard to case, as in the registry.
// Lines starting with '#' or ';' are comments and are kept on rewrite.
#pragma once

#include "base/config_store.h"

namespace talvik {

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
