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
#include <initializer_list>
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

// What a file of the install directory is, which tells where it lies when
// there is no install directory.
enum class InstallFile {
    kSettings, // "Vidrelo.ini"
    kLog,      // "log.txt"
    kProgram,  // programs, codec libraries
    kData,     // the toast images
};

// The directory (with its trailing separator) where files of `kind` lie
// when there is no install directory. Windows: none, so they are named bare
// (relative to the process's current directory). Linux: settings in the
// configuration directory, the log in $XDG_STATE_HOME/talvik/ (default
// ~/.local/state/talvik/), programs beside the running executable, data in
// its ../share/talvik/ when that exists (an installed package), else beside
// it too (a build tree).
std::string FallbackDirectory(InstallFile kind);

// `fileName` inside the install directory, or in its fallback directory.
std::string InstallPath(ConfigStore& store, const char* fileName, InstallFile kind);

// The install directory, else the fallback directory of programs; nothing
// when neither exists (Windows without an install entry).
std::optional<std::string> ProgramDirectory(ConfigStore& store);

// "loglevel" clamped to 0..3 (below 0 is 0, above 3 is 3). Linux also takes
// a "loglevel" value under the product's key (the plain "[talvik]" section
// of talvik.conf), which wins over the ini file.
int ClampLogLevel(int level);
int ReadLogLevel(ConfigStore& store);
inline constexpr const char* kLogLevelValue = "loglevel";

// The port the service listens on for WiFi phones. Windows: always 5055.
// Linux: "Port" under "Software\Talvik\Vidrelo" when it holds a number
// from 1 to 65535, so that tests and a second instance can run side by
// side; 5055 otherwise.
std::uint16_t PhonePort(ConfigStore& store);
inline constexpr const char* kPortValue = "Port";

// A value under the product's key that names one of `names`, in any letter
// case: the index of the one it names. A missing or empty value is the
// first, the default; any other text is the first too, logged as
//   error "<value name> '<text>' is none of a, b and c: a is used"
std::size_t ReadChoice(ConfigStore& store, const char* valueName, std::initializer_list<const char*> names);

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
