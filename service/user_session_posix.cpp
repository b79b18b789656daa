// Linux: the service runs as the user (a systemd user unit), so a program
// is started directly, in the service's own session. The argument stays
// one element of the argument vector; no shell ever parses it. There is no
// window to hide.
#include "service/user_session.h"

#include "service/spawn_posix.h"

#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace talvik {

namespace {

// The programs started and not yet reaped. SIGCHLD stays untouched (the
// process may share it with libraries), so they are reaped here instead, at
// the next launch: at most the programs of one launch round wait as zombies.
std::mutex childrenLock;
std::vector<pid_t> children;

void ReapEndedChildren()
{
    std::lock_guard<std::mutex> guard(childrenLock);
    std::erase_if(children, [](pid_t pid) {
        const pid_t result = waitpid(pid, nullptr, WNOHANG);
        // Ended, or no longer ours to wait for.
        return result == pid || (result < 0 && errno == ECHILD);
    });
}

bool IsNumber(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

} // namespace

bool LaunchInUserSession(const ProgramCommand& command, bool /*hidden*/)
{
    ReapEndedChildren();
    // The same bound as on Windows, so that both accept the same texts.
    if (!CommandLineText(command))
        return false;
    pid_t pid = -1;
    if (SpawnProgram({command.program, command.argument}, false, &pid) != 0)
        return false;
    std::lock_guard<std::mutex> guard(childrenLock);
    children.push_back(pid);
    return true;
}

bool IsAppleMobileDeviceServiceRunning()
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return false;
    bool found = false;
    while (!found) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        if (!IsNumber(entry->d_name))
            continue;
        // A process that ended since the listing simply cannot be read.
        std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
        std::string name;
        found = std::getline(comm, name) && name == "usbmuxd";
    }
    closedir(proc);
    return found;
}

} // namespace talvik
