// Where what lives only while the user is logged in is put, and found again
// by the programs that read it: the camera file and the sound ring file
// (in "talvik/" below it) and the tray's socket.
//
// It is $XDG_RUNTIME_DIR when that is set. Shells without it (root shells,
// ssh, containers) get a directory of the user's own instead:
// /run/user/<uid> when the login manager made it, else "talvik-runtime" in
// $XDG_CACHE_HOME (default ~/.cache), made with mode 0700. Either is taken
// only when it is a directory (not a link), owned by the user and closed to
// everyone else. A fixed name in /tmp is never used: another user could
// make it first and see, or replace, what the service writes there.
#pragma once

#include <string>

namespace talvik {

struct RuntimeDirectory {
    // Empty when no directory could be had; `problem` then says why.
    std::string path;
    // Whether it came from $XDG_RUNTIME_DIR.
    bool fromEnvironment = false;
    std::string problem;
};

// Makes the private directory when it is missing.
RuntimeDirectory FindRuntimeDirectory();

// `name` in the runtime directory, or empty without one.
std::string RuntimePath(const std::string& name);

// "talvik/" in the runtime directory (made for the user only, when missing),
// or empty without one.
std::string ProductRuntimeDirectory();

} // namespace talvik
