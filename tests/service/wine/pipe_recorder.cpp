// Stands in for the tray program in the service's Wine test. Installed as
// talviktray.exe, it is started by the service with a notification digit as
// its argument, then serves the tray's pipe "\\.\pipe\talvikpipe" the way
// the tray does and answers every message "Default answer from server" with
// its NUL. It appends to "tray.log" beside itself, one line each:
//   started: <its command line>
//   listening
//   message: <the bytes read, those outside printable ASCII as \xNN>
//   ended
// and ends after answering notification 0, or after two minutes. Started
// with the argument "silent", it reads every message and never answers, as a
// tray that hangs would, until it is ended.
#include "tests/service/tray_pipe_server_win.h"
#include "tests/support/printable.h"

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kLifetimeMs = 120000;

class LineLog {
public:
    explicit LineLog(const std::string& path) : file_(std::fopen(path.c_str(), "ab")) {}
    ~LineLog()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    void Write(const std::string& line)
    {
        if (file_ == nullptr)
            return;
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }

private:
    std::FILE* file_;
};

std::string LogPath()
{
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "tray.log";
    const std::string path(self, length);
    return path.substr(0, path.rfind('\\') + 1) + "tray.log";
}

} // namespace

int main(int argc, char** argv)
{
    const bool silent = argc > 1 && std::string(argv[1]) == "silent";
    LineLog log(LogPath());
    log.Write(std::string("started: ") + GetCommandLineA());
    talvik::test::TrayPipeServer server("\\\\.\\pipe\\talvikpipe");
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!server.ok() || stop == nullptr) {
        log.Write("cannot serve the pipe: error " + std::to_string(GetLastError()));
        return 1;
    }
    log.Write("listening");
    server.Serve(stop, kLifetimeMs, [&](const std::string& message) {
        log.Write("message: " + talvik::test::Printable(message));
        if (silent)
            return std::optional<std::string>();
        if (message == std::string("0\0", 2))
            SetEvent(stop);
        return std::optional<std::string>(std::string("Default answer from server", 27));
    });
    CloseHandle(stop);
    log.Write("ended");
    return 0;
}
