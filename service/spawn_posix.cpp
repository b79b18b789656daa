#include "service/spawn_posix.h"

#include <signal.h>
#include <spawn.h>

#include <cerrno>

extern char** environ;

namespace talvik {

namespace {

// Empty signal mask; SIGINT, SIGTERM and SIGPIPE at their defaults.
int SetCleanSignalState(posix_spawnattr_t* attributes)
{
    sigset_t none;
    sigset_t defaults;
    if (sigemptyset(&none) != 0 || sigemptyset(&defaults) != 0 || sigaddset(&defaults, SIGINT) != 0 ||
        sigaddset(&defaults, SIGTERM) != 0 || sigaddset(&defaults, SIGPIPE) != 0)
        return EINVAL;
    int error = posix_spawnattr_setsigmask(attributes, &none);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(attributes, &defaults);
    if (error == 0)
        error = posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    return error;
}

} // namespace

int SpawnProgram(const std::vector<std::string>& arguments, bool searchPath, pid_t* pid)
{
    if (arguments.empty())
        return EINVAL;
    std::vector<std::string> texts = arguments;
    std::vector<char*> argv;
    for (std::string& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    int error = posix_spawnattr_init(&attributes);
    if (error != 0)
        return error;
    error = SetCleanSignalState(&attributes);
    if (error == 0)
        error = searchPath ? posix_spawnp(pid, argv[0], nullptr, &attributes, argv.data(), environ)
                           : posix_spawn(pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}

} // namespace talvik
