// The service's configuration values and where they come from.
//
//   install directory  "UninstallString" of the drivers' uninstall entry,
//                      cut right after its last path separator
//   log level          "loglevel" in section "logging" of "Vidrelo.ini" in
//                      the install directory, clamped to 0..3, default 0
//   last driver size   "Setup" under "Software\Talvik\Vidrelo": 8 bytes,
//                      width then height as signed 32-bit little-endian
//
// Every function takes the store explicitly so that tests can give a fake;
// the overloads without one use SystemConfigStore().
#pragma once

#include "base/config_store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace talvik {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

inline constexpr const char* kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TalvikDrivers";
inline constexpr const char* kUninstallValue = "UninstallString";
inline constexpr std::size_t kUninstallStringBytes = 256;
inline constexpr const char* kProductKey = "Software\\Talvik\\Vidrelo";
inline constexpr const char* kProductKeyClass = "videoSize";
inline constexpr const char* kSetupValue = "Setup";
inline constexpr const char* kIniFileName = "Vidrelo.ini";
inline constexpr const char* kLogFileName = "log.txt";

// The install directory with its trailing separator, or nothing when the
// value is missing, too long for its buffer, or holds no separator.
std::optional<std::string> InstallDirectory(ConfigStore& store);
std::optional<std::string> InstallDirectory();

// `fileName` inside the install directory, or the bare name without one
// (then relative to the process's current directory).
std::string InstallPath(ConfigStore& store, const char* fileName);

// "loglevel" clamped to 0..3 (below 0 is 0, above 3 is 3).
int ClampLogLevel(int level);
int ReadLogLevel(ConfigStore& store);

// The port the service listens on for WiFi phones. Windows: always 5055.
// Linux: "Port" under "Software\Talvik\Vidrelo" when it holds a number
// from 1 to 65535, so that tests and a second instance can run side by
// side; 5055 otherwise.
std::uint16_t PhonePort(ConfigStore& store);
inline constexpr const char* kPortValue = "Port";

struct VideoSize {
    int width;
    int height;
    bool operator==(const VideoSize&) const = default;
};

inline constexpr VideoSize kFallbackVideoSize{640, 480};

// "Setup", or 640 x 480 when it is missing, not 8 bytes long, or outside
// 640 <= width <= 1920 and 480 <= height <= 1080.
VideoSize ReadSetup(ConfigStore& store);
VideoSize ReadSetup();

// Stores the size as "Setup". Failures are ignored: the value is only a hint
// for the next start.
void WriteSetup(ConfigStore& store, int width, int height);
void WriteSetup(int width, int height);

} // namespace talvik
