#include "service/user_unit_linux.h"

#include "service/spawn_posix.h"
#include "service/unit_template.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

namespace talvik {

namespace {

constexpr const char* kUnitName = "talvik.service";

std::optional<std::string> UnitDirectory()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/systemd/user";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config/systemd/user";
    return std::nullopt;
}

// systemd splits ExecStart at blanks, undoes C escapes inside quotes and
// expands '%' and '$' sequences: the path is quoted and each of these
// characters made literal.
std::string ExecStartValue(const std::string& path)
{
    std::string value = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"')
            value += '\\';
        else if (c == '%' || c == '$')
            value += c;
        value += c;
    }
    return value + '"';
}

// The unit the package installs too, with this executable's ExecStart.
std::string UnitText(const std::string& executable)
{
    std::string text = kUnitTemplate;
    const std::string placeholder = "@TALVIK_EXEC_START@";
    text.replace(text.find(placeholder), placeholder.size(), ExecStartValue(executable));
    return text;
}

// Creates the unit file; false (with the reason printed) when it could not.
bool WriteNewUnit(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "Cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeError = errno;
    const bool closed = close(fd) == 0;
    if (written && closed)
        return true;
    std::fprintf(stderr, "Cannot write %s: %s\n", path.c_str(), std::strerror(written ? errno : writeError));
    // Half a unit would be "left unchanged" by the next install.
    unlink(path.c_str());
    return false;
}

void EnableUnit()
{
    pid_t pid = -1;
    const int error = SpawnProgram({"systemctl", "--user", "enable", kUnitName}, true, &pid);
    if (error != 0) {
        std::fprintf(stderr, "Cannot run systemctl: %s; enable the unit with: systemctl --user enable %s\n",
                     std::strerror(error), kUnitName);
        return;
    }
    int status = 0;
    pid_t waited;
    do
        waited = waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    if (waited != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "systemctl --user enable %s failed\n", kUnitName);
}

} // namespace

void InstallUserUnit()
{
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fprintf(stderr, "Cannot find the running executable: %s\n", error.message().c_str());
        return;
    }
    // An installed package brings the unit for its program: it only needs
    // enabling, and a copy in the user's directory would hide its updates.
    const std::filesystem::path packaged = executable.parent_path().parent_path() / "lib/systemd/user" / kUnitName;
    if (std::filesystem::exists(packaged, error)) {
        std::printf("%s comes with the package\n", packaged.c_str());
        std::fflush(stdout);
        EnableUnit();
        return;
    }
    const std::optional<std::string> directory = UnitDirectory();
    if (!directory) {
        std::fprintf(stderr, "Neither XDG_CONFIG_HOME nor HOME names a directory for the unit\n");
        return;
    }
    std::filesystem::create_directories(*directory, error);
    if (error) {
        std::fprintf(stderr, "Cannot create %s: %s\n", directory->c_str(), error.message().c_str());
        return;
    }
    const std::string path = *directory + "/" + kUnitName;
    if (std::filesystem::exists(path, error)) {
        std::printf("%s exists and is left unchanged\n", path.c_str());
    } else {
        if (!WriteNewUnit(path, UnitText(executable.string())))
            return;
        std::printf("Wrote %s\n", path.c_str());
    }
    std::fflush(stdout);
    EnableUnit();
}

} // namespace talvik
