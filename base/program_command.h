// A program of the product, started in the user's desktop session with one
// argument: the tray with a notification digit, the helper program with the
// phone's text.
//
// On Windows the two are joined into one command line, "program argument",
// which must fit a buffer of 256 bytes with its terminator: a longer one is
// refused, never cut or written past the buffer. A program path with a
// blank in it (C:\Program Files\...) is put in quotes, so that the started
// program finds its argument where it looks for it, after the first word. On Linux the argument stays
// one argument of the argument vector (never seen by a shell); the same bound
// applies so that both targets accept the same texts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace talvik {

#ifdef _WIN32
inline constexpr const char* kTrayProgramFile = "talviktray.exe";
inline constexpr const char* kHelperProgramFile = "svcnq.exe";
// Started by the tray's "Settings", with no argument.
inline constexpr const char* kSettingsProgramFile = "nqconfig.exe";
#else
inline constexpr const char* kTrayProgramFile = "talviktray";
inline constexpr const char* kHelperProgramFile = "svcnq";
#endif

inline constexpr std::size_t kCommandLineBytes = 256;

struct ProgramCommand {
    std::string program; // path of the executable
    std::string argument;
    bool operator==(const ProgramCommand&) const = default;
};

// "program argument" ("\"program\" argument" when the path has a blank or
// a tab), or nothing when it does not fit kCommandLineBytes with its
// terminator.
std::optional<std::string> CommandLineText(const ProgramCommand& command);

} // namespace talvik
