// Starting a program from the service on Linux.
//
// The service blocks SIGINT and SIGTERM in every thread (they reach it
// through a signalfd) and ignores SIGPIPE (the socket library asks for it).
// Both would carry over into a started program, which then could not be
// stopped with Ctrl+C or `kill`; every program is therefore started with an
// empty signal mask and those three signals at their defaults.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace talvik {

// Starts `arguments[0]` with `arguments` as its argument vector and the
// service's environment; no shell sees them. `searchPath`: the program is
// looked up in PATH when it has no slash. Returns 0 and sets `*pid`, or the
// error number (for instance ENOENT when there is no such program).
int SpawnProgram(const std::vector<std::string>& arguments, bool searchPath, pid_t* pid);

} // namespace talvik
