#include "base/runtime_directory_posix.h"

#include <fmt/format.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace talvik {
namespace {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HomeDirectory()
{
    if (std::string home = Environment("HOME"); !home.empty())
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return "";
}

// Empty when `path` is a directory of the user's own that nobody else may
// enter; else what is wrong with it.
std::string PrivacyProblem(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return fmt::format("{0} cannot be used: {1}", path, std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        return fmt::format("{0} is not a directory", path);
    if (info.st_uid != geteuid())
        return fmt::format("{0} belongs to another user", path);
    if ((info.st_mode & 077) != 0)
        return fmt::format("{0} is open to other users (mode {1:o}); it must be 0700", path, info.st_mode & 0777);
    return "";
}

bool MakeDirectory(const std::string& path, mode_t mode)
{
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

} // namespace

RuntimeDirectory FindRuntimeDirectory()
{
    if (std::string runtime = Environment("XDG_RUNTIME_DIR"); !runtime.empty())
        return {runtime, true, ""};
    const std::string login = fmt::format("/run/user/{0}", geteuid());
    if (PrivacyProblem(login).empty())
        return {login, false, ""};

    std::string cache = Environment("XDG_CACHE_HOME");
    if (cache.empty()) {
        const std::string home = HomeDirectory();
        if (home.empty())
            return {"", false, "XDG_RUNTIME_DIR is not set and there is no home directory"};
        cache = home + "/.cache";
    }
    const std::string own = cache + "/talvik-runtime";
    if (!MakeDirectory(cache, 0700) || !MakeDirectory(own, 0700))
        return {"", false, fmt::format("{0} cannot be made: {1}", own, std::strerror(errno))};
    if (std::string problem = PrivacyProblem(own); !problem.empty())
        return {"", false, problem};
    return {own, false, ""};
}

std::string RuntimePath(const std::string& name)
{
    const RuntimeDirectory runtime = FindRuntimeDirectory();
    return runtime.path.empty() ? std::string() : runtime.path + "/" + name;
}

std::string ProductRuntimeDirectory()
{
    const std::string directory = RuntimePath("talvik");
    if (directory.empty() || !MakeDirectory(directory, 0700))
        return "";
    return directory;
}

} // namespace talvik
